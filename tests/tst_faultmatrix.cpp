// Faults against a whole update, end to end through the real serial code and
// the simulated unit: every kind of line fault and every stop by the user at
// every phase, then replies of the wrong shape, units that must not be
// updated, ports that cannot be used, a pulled cable while a box is up and a
// driver that never drains. Each row names the fault, the reply wait it
// strikes and the end it must come to: the boxes shown, what the unit
// received, the panels and the port. A clean update of the same unit follows.
#include "harness.h"

#include "update/packets.h"

#include <QCheckBox>
#include <QDeadlineTimer>
#include <QtTest>

namespace {

const int kEraseCount = int(firmware::ErasePacketCount);
const int kProgramCount = int(firmware::ProgramPacketCount);
const int kBlank = 1 + kEraseCount + 1; // reply waits (and frames) of a run without wake frames
const int kVerify = kBlank + kProgramCount + 1;
const int kWhole = -1;
const int kBootloaderEnd = 0x0800;
const int kQuietBoxWakeups = 20; // far more than a box needs, far fewer than a clock or a line beneath it

// Boxes as "!" error, "?" question or plain warning, then their first line.
const QString kCommError = QStringLiteral("Error communicating with Port.");
const QString kNotBootloader = QStringLiteral("Make sure device is in bootloader mode.");
const QString kCancelled = QStringLiteral("!Firmware update was cancelled.");
const QString kFinished = QStringLiteral("Update Finished|EBPV||1123.00|100");
const QString kWiped = QStringLiteral("For Help press F1||||0");

enum class Act { None, Cancel, Close, Reply, Yes, UnplugAtQuestion, StuckDriver, NoSuchPort, NotSerial };

struct Case
{
    QStringList unit; // the simulated unit's options, its fault among them
    Act act;          // what happens at the first poll of reply wait `at`
    int at;
    QStringList messages;
    int sent;              // frames the unit received; kWhole: the update ran to its end
    QString panels;        // panels 1 to 4 and the progress in percent, joined by '|'
    QByteArray reply = {}; // Act::Reply: takes the unit's reply's place, in poll `poll` of the wait
    int poll = 1;
    QString portAtBoxes = {}; // the port as each box came up; empty: not looked at
    bool boxesUp = false;     // real boxes, each left up a second
    bool mayEndAtNextReply = false;
};

QByteArray versionReply(const char *model, const char *version)
{
    return QByteArray::fromHex("0F0F0001") + model + version + "00" + QByteArray::fromHex("0004");
}

// One acknowledged wake frame goes first when the unit runs its firmware
// (it listens at 4800, the first rate tried).
QStringList unitFor(bool wake, const QStringList &fault = {})
{
    return QStringList {"--unit-baud", "4800"} + (wake ? QStringList {"--mode", "normal"} : QStringList {}) + fault;
}

void addMatrix()
{
    const struct
    {
        const char *name;
        int frame;
        bool wake;
    } phases[] = {
        {"wake scan", 1, true},
        {"first version read", 1, false},
        {"first erase", 2, false},
        {"middle erase", 2 + kEraseCount / 2, false},
        {"last erase", 1 + kEraseCount, false},
        {"blank check", kBlank, false},
        {"first program", kBlank + 1, false},
        {"middle program", kBlank + 1 + kProgramCount / 2, false},
        {"last program", kBlank + kProgramCount, false},
        {"verify", kVerify, false},
        {"reset of defaults", kVerify + 1, false},
        {"second version read", kVerify + 2, false},
        {"finish", kVerify + 3, false},
    };
    for (const auto &p : phases) {
        const QString k = QString::number(p.frame);
        const auto add = [&](const char *fault, Case c) {
            c.unit = unitFor(p.wake, c.unit);
            QTest::addRow("%s at the %s", fault, p.name) << c;
        };
        const auto finishes = [](const QStringList &fault) {
            return Case {fault, Act::None, 0, {}, kWhole, kFinished};
        };
        const auto fails = [&](const QStringList &fault, Act act, const QStringList &messages,
                               const char *portAtBoxes) {
            Case c {fault, act, p.frame, messages, p.frame, act == Act::Close ? "" : kWiped};
            c.portAtBoxes = portAtBoxes;
            return c;
        };
        // The finish packet has no reply, and no wait in which a window event
        // could be served before the port closes with the packet out.
        if (p.frame == kVerify + 3) {
            add("hung up", finishes({"--hangup-at", k}));
            continue;
        }
        // An unanswered or garbled acknowledgement only moves the scan on; the
        // version read then finds the bootloader that the wake started.
        add("no reply",
            p.wake ? finishes({"--no-reply-at", k}) : fails({"--no-reply-at", k}, Act::None, {kCommError}, "open"));
        add("bad start",
            p.wake ? finishes({"--bad-start-at", k})
                   : fails({"--bad-start-at", k}, Act::None, {kNotBootloader}, "open"));
        // Replies are read at fixed positions once the threshold is reached,
        // and leftovers are discarded before the next packet.
        add("split reply", finishes({"--split-at", k}));
        // Stray bytes that reach the port only after the next packet has gone
        // out stand in front of its reply, which then rightly fails.
        Case stray = finishes({"--trailing-at", k});
        stray.mayEndAtNextReply = !p.wake && p.frame != kVerify + 2;
        add("stray bytes", stray);
        add("hung up", fails({"--hangup-at", k}, Act::None, {kCommError}, "closed"));
        add("Cancel", fails({}, Act::Cancel, {kCancelled}, "open"));
        add("window closed", fails({}, Act::Close, {}, ""));
    }
}

void addRows()
{
    const auto add = [](const char *name, Case c) {
        c.unit = unitFor(false, c.unit);
        QTest::newRow(name) << c;
    };
    const QStringList quiet {"--no-reply-at", "1"};
    const QStringList noVerifyReply {"--no-reply-at", QString::number(kVerify)};
    const QString noBlank = QString::number(kBlank);
    add("a version reply with one start byte garbled",
        {quiet, Act::Reply, 1, {kNotBootloader}, 1, kWiped,
            QByteArray::fromHex("0FF0") + versionReply("0574", "1123").mid(2)});
    add("a version reply too short to name a model",
        {quiet, Act::Reply, 1, {"Attached device is not the AXR-574."}, 1, "For Help press F1|||.|0",
            QByteArray::fromHex("0F0F0001")});
    add("a unit of another model",
        {{"--model", "0575"}, Act::None, 0, {"Attached device is not the AXR-574."}, 1,
            "For Help press F1|||1123.00|0"});
    add("the same version, not to be replaced",
        {{"--version", "1208"}, Act::None, 0, {"?Would you like to replace version 1208 with 1208?"}, 1,
            "For Help press F1|||1208.00|0"});
    add("a newer version, not to be replaced",
        {{"--version", "1301"}, Act::None, 0, {"?Would you like to replace version 1301 with 1208?"}, 1,
            "For Help press F1|||1301.00|0"});
    add("the same version, to be replaced",
        {{"--version", "1208"}, Act::Yes, 0, {"?Would you like to replace version 1208 with 1208?"}, kWhole,
            "Update Finished|EBPV||1208.00|100"});
    add("a unit without firmware", {{"--no-firmware"}, Act::None, 0, {}, kWhole, "Update Finished|EBPV||0000.00|100"});
    add("a reply in the 1000th poll of its wait",
        {quiet, Act::Reply, 1, {}, kWhole, kFinished, versionReply("0574", "1123"), 1000});
    add("a reply in the 1001st poll of its wait",
        {quiet, Act::Reply, 1, {kCommError}, 1, kWiped, versionReply("0574", "1123"), 1001});
    add("a unit that is not blank after erasing",
        {{"--blank-fail"}, Act::None, 0, {"!Blank Check Error"}, kBlank,
            "Blank Check Failed|EB|3B-FF-C4-01|1123.00|100"});
    add("a blank check result wrong in one byte",
        {{"--no-reply-at", noBlank}, Act::Reply, kBlank, {"!Blank Check Error"}, kBlank,
            "Blank Check Failed|EB|3B-FE-C4-00|1123.00|100", QByteArray::fromHex("0F0F0A0200080000C4FE3B0004")});
    add("a failed verify",
        {{"--verify-fail"}, Act::None, 0, {"!Verify Checksum Error"}, kVerify,
            "Verify Failed|EBPV|3B-FF-C4-01|1123.00|100"});
    add("a verify result wrong in its second byte",
        {noVerifyReply, Act::Reply, kVerify, {"!Verify Checksum Error"}, kVerify,
            "Verify Failed|EBPV|00-00-01-00|1123.00|100", QByteArray::fromHex("0F0F0A0100080000010000ED04")});
    add("a verify result cut short",
        {noVerifyReply, Act::Reply, kVerify, {"!Verify Checksum Error"}, kVerify,
            "Verify Failed|EBPV|\?\?-\?\?-C4-01|1123.00|100", QByteArray::fromHex("0F0F0A0100080001C4")});
    add("a port whose device has gone",
        {{}, Act::NoSuchPort, 0, {"Selected Com Port is not available."}, 0, kWiped});
    add("a device that is no serial port",
        {{}, Act::NotSerial, 0, {"Selected COM Port could not be opened."}, 0, kWiped});
    add("a unit flooding the line, cancelled while erasing",
        {{"--flood-after", "40"}, Act::Cancel, 40, {kCancelled}, 40, kWiped});
    // The finish command dropped with the driver's queue never told the unit
    // to start: no success, though the unit here got every byte.
    add("a driver that never sends its last bytes", {{}, Act::StuckDriver, 0, {kCommError}, kWhole, kWiped});
    add("a unit that names another model when read again after writing",
        {{"--wrong-model-at", QString::number(kVerify + 2)}, Act::None, 0, {"Attached device is not the AXR-574."},
            kVerify + 2, "For Help press F1|EBPV||1123.00|100"});
    // Boxes left up as long as a person reads them, the program running beneath.
    const int pulledAt = kBlank + 100;
    Case c {{"--hangup-at", QString::number(pulledAt)}, Act::None, pulledAt, {kCommError}, pulledAt, kWiped};
    c.portAtBoxes = "closed";
    c.boxesUp = true;
    add("a cable pulled while programming", c);
    c = {{"--version", "1208"}, Act::UnplugAtQuestion, 0,
        {"?Would you like to replace version 1208 with 1208?", kCommError}, 1, kWiped};
    c.portAtBoxes = "open closed";
    c.boxesUp = true;
    add("a unit unplugged while the replacement question is up", c);
    c = {{}, Act::Cancel, 100, {kCancelled}, 100, kWiped};
    c.boxesUp = true;
    add("a Cancel box in the middle of a reply wait", c);
}

QString seen(const RecordedMessage &m)
{
    const QString mark = m.kind == frmMain::MsgKind::Error ? "!" : m.kind == frmMain::MsgKind::Question ? "?" : "";
    return mark + m.text.section(QLatin1String("\r\n"), 0, 0);
}

} // namespace

Q_DECLARE_METATYPE(Case)

class tst_faultmatrix : public QObject
{
    Q_OBJECT

private slots:
    // A closed main window must not end the test program.
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void aFaultEndsTheRunInOrderAndTheUnitRecovers_data();
    void aFaultEndsTheRunInOrderAndTheUnitRecovers();
};

void tst_faultmatrix::aFaultEndsTheRunInOrderAndTheUnitRecovers_data()
{
    QTest::addColumn<Case>("c");
    addMatrix();
    addRows();
}

void tst_faultmatrix::aFaultEndsTheRunInOrderAndTheUnitRecovers()
{
    QFETCH(Case, c);
    const bool wake = c.unit.contains("normal");
    Bench bench;
    QVERIFY(bench.startSim(c.unit));
    QVERIFY(bench.sim().dump());
    const QByteArray before = bench.sim().memory();
    bench.child<QCheckBox>("chkRemote")->setChecked(wake);
    if (c.boxesUp)
        bench.readBoxes(1000);

    QStringList portAtBoxes;
    bench.onMessage = [&](const RecordedMessage &m) {
        portAtBoxes << (bench->MSComm1.PortOpen() ? "open" : "closed");
        if (c.act == Act::UnplugAtQuestion && m.kind == frmMain::MsgKind::Question)
            bench.sim().stop();
    };
    bench.answer = c.act == Act::Yes || c.act == Act::UnplugAtQuestion ? QMessageBox::Yes : QMessageBox::No;
    bench.atWait(c.at, [&] {
        if (c.act == Act::Cancel)
            bench.click("cmdExit");
        else if (c.act == Act::Close)
            bench->close(); // what the close box does
    });
    if (c.act == Act::Reply) {
        bench->onPoll = [&, waits = 0](int poll) mutable {
            waits += poll == 1;
            if (waits == c.at && poll == c.poll)
                bench->HandleInput(c.reply);
        };
    }
    QDeadlineTimer stuckFor(5000);
    bool stuck = false;
    if (c.act == Act::StuckDriver)
        MSComm::setOutputQueueReader([&](qintptr) { return stuckFor.hasExpired() ? (stuck = true, 0) : 28; });
    if (c.act == Act::NotSerial || c.act == Act::NoSuchPort)
        bench.usePort1(c.act == Act::NotSerial ? "/dev/null" : "/dev/axr574-no-such-device");

    bench.program();
    bench->onPoll = nullptr;
    MSComm::setOutputQueueReader(nullptr);
    QStringList messages;
    for (const RecordedMessage &m : bench.messages) {
        messages << seen(m);
        QCOMPARE(m.title,
            QString(m.kind == frmMain::MsgKind::Question ? "Confirm Firmware Replace" : "AXR-574 Firmware v1208"));
    }
    if (c.mayEndAtNextReply && messages == QStringList {kNotBootloader})
        c = {c.unit, c.act, c.at, {kNotBootloader}, c.sent + 1, kWiped};

    QCOMPARE(bench.unsettled(), QString());
    QCOMPARE(messages, c.messages);
    QVERIFY(!stuck);
    if (c.act == Act::Cancel || c.act == Act::Close)
        QCOMPARE(bench.polls, 0); // the stop ends the wait at once
    if (c.unit.contains("--hangup-at") && c.at > 0)
        QVERIFY2(bench.polls < 1000, "a line that hung up was waited on until the polls ran out");
    if (!c.portAtBoxes.isEmpty())
        QCOMPARE(portAtBoxes.join(' '), c.portAtBoxes);
    for (int wakeups : bench.wakeups)
        QVERIFY2(wakeups < kQuietBoxWakeups, qPrintable(QString("%1 wakeups while a box was up").arg(wakeups)));
    if (!c.panels.isEmpty()) {
        const int percent = int(100 * bench->progressValue() / bench->progressMax());
        QCOMPARE(QStringList({bench->panelText(1), bench->panelText(2), bench->panelText(3), bench->panelText(4),
                                 QString::number(percent)})
                     .join('|'),
            c.panels);
    }
    // A fault, unlike a refusal or a stop, leaves bFailed set; the second
    // model check comes after the unit was written.
    const QStringList faults {kCommError, kNotBootloader, "!Blank Check Error", "!Verify Checksum Error"};
    const bool failed
        = std::any_of(messages.begin(), messages.end(), [&](const QString &m) { return faults.contains(m); })
        || c.unit.contains("--wrong-model-at");
    QCOMPARE(bench->bFailed, failed);
    QCOMPARE(bench->successDialog() != nullptr, c.sent == kWhole && !failed);
    QCOMPARE(bench->bSuccess, c.sent == kWhole && !failed);
    QVERIFY(c.act == Act::UnplugAtQuestion || bench.sim().dump());
    QVERIFY2(bench.sim().violations().isEmpty(), qPrintable(bench.sim().violations().join(" | ")));
    // Nothing leaves the updater after the faulted packet.
    QCOMPARE(bench.sim().commands(), fullRunCommands(wake).mid(0, c.sent));
    if (c.sent == kWhole)
        QVERIFY(bench.sim().memory() == memoryAfterUpdate(before));
    QVERIFY(bench.sim().memory().left(kBootloaderEnd) == before.left(kBootloaderEnd));

    // The same unit, updated again from the start by a fresh run; not for a
    // unit that refuses an update, has gone or floods on. A run for memory
    // errors alone leaves it out: it walks the paths of a clean update, which
    // the other tests walk already.
    if (qEnvironmentVariableIsSet("AXR574_MATRIX_NO_RECOVERY") || c.act == Act::UnplugAtQuestion
        || c.unit.contains("--flood-after") || c.unit.contains("--model") || c.unit.contains("1301"))
        return;
    if (c.act == Act::Close)
        bench.renewWindow();
    if (c.act == Act::NotSerial || c.act == Act::NoSuchPort)
        bench.usePort1(bench.sim().devicePath());
    if (c.unit.contains("--hangup-at"))
        QVERIFY2(bench.sim().waitForNewPath(5000), "the unit offered no new line after hanging up");
    const int framesBefore = bench.sim().frames().size();
    // The unit runs its bootloader from an acknowledged wake frame to the finish packet.
    bool inBootloader = !wake;
    for (const SimEvent &e : bench.sim().events())
        inBootloader = (inBootloader || (e.ev == "wake" && e.acked)) && e.ev != "finish";
    bench.child<QCheckBox>("chkRemote")->setChecked(!inBootloader);
    bench.messages.clear();
    bench.answer = QMessageBox::Yes;
    bench.program();
    QCOMPARE(bench.unsettled(), QString());
    const bool asksAgain = c.unit.contains("1208"); // the unit's version is the program's
    QVERIFY2(bench.messages.size() == asksAgain, qPrintable(bench.messageTexts().join(" | ")));
    QVERIFY(bench->successDialog() && bench->bSuccess);
    QVERIFY(bench.sim().dump());
    QCOMPARE(bench.sim().commands().mid(framesBefore), fullRunCommands(!inBootloader));
    QVERIFY2(bench.sim().violations().isEmpty(), qPrintable(bench.sim().violations().join(" | ")));
    QVERIFY(bench.sim().memory() == memoryAfterUpdate(before));
}

QTEST_MAIN(tst_faultmatrix)
#include "tst_faultmatrix.moc"

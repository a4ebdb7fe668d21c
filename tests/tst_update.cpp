// Clean updates from Program to finish, through the real serial code, against
// the simulated unit on a pseudo-terminal; and the wake scan of a unit running
// its firmware, against a line the test answers itself.
#include "harness.h"

#include "link/codec.h"
#include "update/packets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QtTest>

namespace {

const QByteArray kAck = QByteArray::fromHex("FEFE3300424C3FFD");
const QString kWaiting = QStringLiteral("Please wait.  Attempting to start bootloader.");
const QString kUpdating = QStringLiteral("Please wait.  AXR-574 Firmware is being updated.");

} // namespace

class tst_update : public QObject
{
    Q_OBJECT

private slots:
    void anUpdateLeavesTheUnitHoldingTheImage_data();
    void anUpdateLeavesTheUnitHoldingTheImage();
    void remoteProgramWakesTheUnitAtItsRate_data();
    void remoteProgramWakesTheUnitAtItsRate();
    void theWakeScanStopsOnlyAtAnAcknowledgementOfItsOwn_data();
    void theWakeScanStopsOnlyAtAnAcknowledgementOfItsOwn();
    void programUnloadsTheCompletionDialogOfTheLastRun();
};

void tst_update::anUpdateLeavesTheUnitHoldingTheImage_data()
{
    QTest::addColumn<QString>("rate");
    QTest::newRow("9600") << "9600";
    QTest::newRow("57600") << "57600";
}

void tst_update::anUpdateLeavesTheUnitHoldingTheImage()
{
    QFETCH(QString, rate);
    Bench bench;
    QVERIFY(bench.startSim() && bench.sim().dump());
    const QByteArray before = bench.sim().memory();
    QVERIFY(bench.show());
    auto *baud = bench.child<QComboBox>("cboBaudrate");
    baud->setFocus();
    while (baud->currentText() != rate)
        bench.press(Qt::Key_Down);

    // What the window says as each kind of packet goes out, and at the last
    // erase and program packets.
    QStringList said;
    bench->onPoll = [&](int poll) {
        const QString now = bench->sCommand + ": " + bench->panelText(1) + " / " + bench->message();
        const int value = int(bench->progressValue());
        const bool last = value == (bench->sCommand == "0301" ? 480 : int(firmware::ProgramPacketCount));
        if (poll == 1 && (said.isEmpty() || !said.last().startsWith(bench->sCommand) || last))
            said << now;
    };
    bench.program();

    QCOMPARE(bench.unsettled(), QString());
    QVERIFY2(bench.messages.isEmpty(), qPrintable(bench.messageTexts().join(" | ")));
    QCOMPARE(said,
        (QStringList {"0001: For Help press F1 / ", "0301: Erasing ...  0% / " + kUpdating,
            "0301: Erasing ...  100% / " + kUpdating, "0A02: Blank Checking ... / " + kUpdating,
            "0202: Programming ...  0% / " + kUpdating, "0202: Programming ...  80% / " + kUpdating,
            "0A01: Verifying ... / " + kUpdating, "0B01: Resetting Defaults ... / " + kUpdating,
            "0001: Resetting Defaults ... / " + kUpdating}));
    QCOMPARE(
        bench->panelText(1) + "|" + bench->panelText(2) + "|" + bench->panelText(4), "Update Finished|EBPV|1123.00");
    QCOMPARE(bench->progressValue(), 1920.0f); // the program plan completes the bar
    QVERIFY(bench->bSuccess && bench->successDialog() && bench->successDialog()->isVisible());

    QVERIFY(bench.sim().dump());
    QCOMPARE(bench.sim().commands(), fullRunCommands());
    QVERIFY2(bench.sim().violations().isEmpty(), qPrintable(bench.sim().violations().join(" | ")));
    // The finish packet is left out: the port closes right after writing it,
    // and the unit may read the line's rate only after that.
    for (const SimEvent &e : bench.sim().frames())
        QVERIFY2(e.cmd == "0801" || e.baud == rate.toInt(), qPrintable(QString("frame %1 at %2").arg(e.n).arg(e.baud)));
    QVERIFY(bench.sim().memory() == memoryAfterUpdate(before));
}

void tst_update::remoteProgramWakesTheUnitAtItsRate_data()
{
    QTest::addColumn<int>("unitBaud");
    QTest::addColumn<int>("wakeFrames");
    QTest::newRow("answers at 4800") << 4800 << 1;
    QTest::newRow("answers at 57600 only") << 57600 << 5;
}

void tst_update::remoteProgramWakesTheUnitAtItsRate()
{
    QFETCH(int, unitBaud);
    QFETCH(int, wakeFrames);
    Bench bench;
    QVERIFY(bench.startSim({"--mode", "normal", "--unit-baud", QString::number(unitBaud)}));
    QVERIFY(bench.show());
    bench.click("chkRemote");
    auto *baud = bench.child<QComboBox>("cboBaudrate");
    baud->setFocus();
    bench.press(Qt::Key_Down); // 19200
    QString readyAtVersionRead;
    bench->onPoll = [&](int) {
        if (bench->sCommand == "0001" && readyAtVersionRead.isEmpty())
            readyAtVersionRead = bench->panelText(1) + " / " + bench->message();
    };
    bench.program();

    QCOMPARE(bench.unsettled(), QString());
    QVERIFY2(bench.messages.isEmpty(), qPrintable(bench.messageTexts().join(" | ")));
    QCOMPARE(readyAtVersionRead, QStringLiteral("Bootloader Ready ... / "));
    QCOMPARE(bench->panelText(2), QStringLiteral("EBPV"));
    QVERIFY(bench.sim().dump());
    const QVector<SimEvent> frames = bench.sim().frames();
    QCOMPARE(frames.size(), wakeFrames + fullRunCommands().size());
    const int rates[] = {4800, 9600, 19200, 38400, 57600};
    for (int i = 0; i < wakeFrames; ++i)
        QCOMPARE(frames[i].cmd + "@" + QString::number(frames[i].baud), "0000@" + QString::number(rates[i]));
    QCOMPARE(frames[wakeFrames].cmd + "@" + QString::number(frames[wakeFrames].baud), QStringLiteral("0001@19200"));
}

void tst_update::theWakeScanStopsOnlyAtAnAcknowledgementOfItsOwn_data()
{
    QTest::addColumn<QString>("situation"); // "answer" at attempt answerAt, "stale", "cancel" at answerAt or "stopped"
    QTest::addColumn<int>("answerAt");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("panel1");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QString>("message");
    QTest::newRow("acknowledged at the first rate") << "answer" << 1 << kAck << "Bootloader Ready ..." << 1 << "";
    QTest::newRow("a chunk ending in the acknowledgement")
        << "answer" << 2 << (QByteArray::fromHex("00112233") + kAck) << "Bootloader Ready ..." << 2 << "";
    QTest::newRow("an acknowledgement followed by noise does not count")
        << "answer" << 1 << (kAck + "x") << "Starting Bootloader ....." << 5 << kWaiting;
    QTest::newRow("never acknowledged") << "answer" << 0 << QByteArray() << "Starting Bootloader ....." << 5
                                        << kWaiting;
    QTest::newRow("an acknowledgement left from an earlier run does not count")
        << "stale" << 0 << QByteArray() << "Starting Bootloader ....." << 5 << kWaiting;
    QTest::newRow("a Cancel adds no dots to the reset status")
        << "cancel" << 2 << QByteArray() << "For Help press F1" << 2 << kWaiting;
    QTest::newRow("a run already stopped scans nothing")
        << "stopped" << 0 << QByteArray() << "For Help press F1" << 0 << "";
}

void tst_update::theWakeScanStopsOnlyAtAnAcknowledgementOfItsOwn()
{
    QFETCH(QString, situation);
    QFETCH(int, answerAt);
    QFETCH(QByteArray, answer);
    QFETCH(QString, panel1);
    QFETCH(int, frames);
    QFETCH(QString, message);
    Bench bench;
    PtyLine line;
    bench.usePort1(line.slavePath());
    bench->MSComm1.setCommPort(1);
    QVERIFY(bench->MSComm1.setPortOpen(true));
    bench->bStopped = situation == "stopped";
    if (situation == "stale")
        bench->HandleInput(answer = QByteArray::fromHex("0102") + kAck);

    QStringList panelBeforeEach;
    bench->onPoll = [&](int poll) {
        if (poll != 1)
            return;
        panelBeforeEach << bench->panelText(1);
        if (panelBeforeEach.size() == answerAt && situation == "answer")
            line.write(answer);
        else if (panelBeforeEach.size() == answerAt && situation == "cancel")
            bench.click("cmdExit");
        else
            bench->bReplyReceived = true; // no answer, without a second of waiting
    };
    bench->StartBootloader();
    QCOMPARE(line.readAvailable(200).count(aStringToHex(firmware::kWakeFrame)), frames);
    QCOMPARE(panelBeforeEach.size(), frames);
    if (frames > 0)
        QCOMPARE(panelBeforeEach.last(), QString("Starting Bootloader ") + QString(frames, '.'));
    QCOMPARE(bench->panelText(1), panel1);
    QCOMPARE(bench->message(), message);
}

void tst_update::programUnloadsTheCompletionDialogOfTheLastRun()
{
    Bench bench;
    QVERIFY(bench.startSim());
    bench.program();
    QPointer<frmSuccess> first = bench->successDialog();
    QVERIFY(first && bench->bSuccess);
    const qint64 iconKey = first->windowIcon().cacheKey();

    // The unit left its bootloader with the finish packet: wake it remotely.
    bench.click("chkRemote");
    bool dialogGoneAtFirstPacket = false;
    bench.atWait(1, [&] { dialogGoneAtFirstPacket = !bench->bSuccess && (!first || !first->isVisible()); });
    bench.program();
    QVERIFY(dialogGoneAtFirstPacket);
    QCOMPARE(bench.unsettled(), QString());
    QVERIFY2(bench.messages.isEmpty(), qPrintable(bench.messageTexts().join(" | ")));
    QTRY_VERIFY(!first);
    QVERIFY(bench->successDialog() && bench->bSuccess);
    QCOMPARE(bench->successDialog()->secondsLeft(), 10);
    // One icon for the whole process: a dialog that decoded its own would
    // leave its pixmaps in the style's cache after every update.
    QCOMPARE(bench->successDialog()->windowIcon().cacheKey(), iconKey);
    QCOMPARE(bench->windowIcon().cacheKey(), iconKey);
}

QTEST_MAIN(tst_update)
#include "tst_update.moc"

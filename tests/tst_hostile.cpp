// Hostile input from fixed seeds: replies of any shape to every command, any text read as
// packet digits and as a port number, broken firmware images and a unit that floods the
// line. A failure names its seed and case: QRandomGenerator(seed) replays it.
#include "harness.h"

#include "link/codec.h"
#include "update/packets.h"

#include <QComboBox>
#include <QLineEdit>
#include <QtTest>

#include <algorithm>
#include <numeric>

// Fails naming the case (`seed` and `n` in scope) and what went wrong.
#define CHECK(cond, detail) QVERIFY2(cond, qPrintable(QString("seed %1, case %2: ").arg(seed).arg(n) + (detail)))

namespace {

constexpr quint32 kSeed = 574;
const QString kCommError = QStringLiteral("Error communicating with Port.");
const QString kNotBootloader = QStringLiteral("Make sure device is in bootloader mode.");
const QString kCancelled = QStringLiteral("Firmware update was cancelled.");
const QString kReady = QStringLiteral("For Help press F1");

int pick(QRandomGenerator &rng, int lo, int hi)
{
    return lo + int(rng.bounded(quint32(hi - lo + 1)));
}
bool chance(QRandomGenerator &rng, double p)
{
    return rng.generateDouble() < p;
}
int byteSum(const QByteArray &b)
{
    return std::accumulate(b.begin(), b.end(), 0, [](int s, char c) { return s + quint8(c); });
}

// A reply counts as come once `threshold` bytes wait.
const struct Command
{
    const char *name, *packet;
    int threshold;
} kCommands[]
    = {{"version read", "0F0F0001FF04", 16}, {"erase", firmware::ErasePackets[firmware::ErasePacketCount / 2], 5},
        {"program", firmware::ProgramPackets[firmware::ProgramPacketCount / 2], 5},
        {"blank check", "0F0F0A02000800EC04", 13}, {"verify", "0F0F0A01000800ED04", 13},
        {"reset of defaults", "0F0F0B01160800D604", 5},
        {"wake", "000000000000000000000000000000000000FEFE3300424C3FFD", 8}};

// Random bytes, the fields the verdict reads often set right to meet its every branch.
QByteArray randomReply(QRandomGenerator &rng, const QString &cmd, int minLength, int maxLength)
{
    QByteArray r(40, '\0');
    std::generate(r.begin(), r.end(), [&rng] { return char(rng.bounded(256)); });
    const auto put = [&r](int position, const QByteArray &bytes) { r.replace(position - 1, bytes.size(), bytes); };
    if (chance(rng, 0.7))
        put(1, "\x0F\x0F");
    if (cmd == "0001" && chance(rng, 0.7))
        put(5, "0574");
    if (cmd == "0001")
        put(9,
            chance(rng, 0.25)      ? QByteArray("\xFF")
                : chance(rng, 0.6) ? QByteArray::number(pick(rng, 0, 9999)).rightJustified(4, '0')
                                   : "");
    if (cmd == "0A02" && chance(rng, 0.5))
        put(8, QByteArray::fromHex("00C4FF3B"));
    if (cmd == "0A01" && chance(rng, 0.5))
        put(8, QByteArray(2, '\0'));
    return r.left(pick(rng, minLength, maxLength));
}

// The window after one exchange, as one line; panel 1 only once the run ended.
QString outcome(const QStringList &texts, bool ended, bool failed, bool accepted, QString p1, QString p3, QString p4)
{
    return QString("[%1] ended %2 failed %3 accepted %4, panels \"%5\" \"%6\" \"%7\"")
        .arg(texts.join(" | "))
        .arg(ended)
        .arg(failed)
        .arg(accepted)
        .arg(ended ? p1 : QString(), p3, p4);
}

// The oracle: the outcome worked out from the reply bytes alone.
QString judge(const QString &cmd, const QByteArray &r, bool arrived, bool answerYes)
{
    const auto at = [&r](int p) { return p <= r.size() ? int(quint8(r[p - 1])) : -1; };
    const auto hex = [&at](int p) { return at(p) < 0 ? QString("??") : QString::asprintf("%02X", at(p)); };
    const QString data = hex(11) + '-' + hex(10) + '-' + hex(9) + '-' + hex(8); // result bytes, last first
    const auto failure
        = [](QString text, QString p1, QString p3 = {}) { return outcome({text}, true, true, false, p1, p3, {}); };
    if (cmd != "0000" && !arrived)
        return failure(kCommError, kReady);
    if (cmd != "0000" && (at(1) != 0x0F || at(2) != 0x0F))
        return failure(kNotBootloader, kReady);
    if (cmd == "0A02" && r.mid(7, 4) != QByteArray::fromHex("00C4FF3B"))
        return failure("Blank Check Error", "Blank Check Failed", data);
    if (cmd == "0A01" && r.mid(7, 2) != QByteArray(2, '\0'))
        return failure("Verify Checksum Error", "Verify Failed", data);
    if (cmd != "0001")
        return outcome({}, false, false, false, {}, {}, {});
    const QByteArray unit = r.mid(8, 4);
    const QString shown = at(9) == 0xFF ? QString("0000.00") : QString::fromLatin1(unit + '.' + r.mid(12, 2));
    if (r.mid(4, 4) != "0574")
        return outcome({"Attached device is not the AXR-574."}, true, false, false, kReady, {}, shown);
    // Byte order: the carried "1208" has digits only, so case cannot matter.
    if (at(9) == 0xFF || unit < QByteArray("1208"))
        return outcome({}, false, false, true, {}, {}, shown);
    return outcome({"Would you like to replace version " + QString::fromLatin1(unit) + " with 1208?"}, !answerYes,
        false, answerYes, kReady, {}, shown);
}

// The oracle: blanks, a sign, digits, one point; halves to even; saturates at 16 bits.
int readPortNumber(const QString &text)
{
    static const QRegularExpression number("^[ \\t]*([+-]?)0*([0-9]*)(?:\\.([0-9]*))?"),
        overHalf("^(?:[6-9]|5.*[1-9])");
    const QRegularExpressionMatch m = number.match(text);
    const long limit = m.captured(1) == "-" ? 32768 : 32767;
    long value = m.captured(2).size() > 5 ? limit : m.captured(2).toLong();
    if (overHalf.match(m.captured(3)).hasMatch() || (m.captured(3).startsWith('5') && value % 2))
        ++value;
    return int(std::min(value, limit) * (m.captured(1) == "-" ? -1 : 1));
}

// Mostly digits, signs, points and separators; now and then any other character up to 0xD7FF.
QString randomText(QRandomGenerator &rng, int maxLength)
{
    static const QString pool = QStringLiteral("0123456789abcdefABCDEF+-. GgxX,;:/COM\t");
    QString s;
    for (int i = pick(rng, 0, maxLength); i > 0; --i)
        s += chance(rng, 0.6) ? pool[pick(rng, 0, int(pool.size()) - 1)]
                              : QChar(pick(rng, 0x20, chance(rng, 0.5) ? 0x7E : 0xD7FF));
    return s;
}

// The oracle: records well formed, an end record last, data only in 0x0800-0x7FFF, no byte
// given twice differently, 16-byte units whole or absent, at most 3 bytes to escape a packet.
bool validImage(const QByteArray &file, int &units)
{
    QMap<int, quint8> image;
    int base = 0;
    bool end = false;
    for (const QByteArray &line : file.split('\n')) {
        const QByteArray b = QByteArray::fromHex(line.mid(1));
        if (line.isEmpty())
            continue;
        if (end || !line.startsWith(':') || line.size() % 2 == 0 || b.size() < 5 || b.size() != quint8(b[0]) + 5
            || byteSum(b) % 256)
            return false;
        const int length = quint8(b[0]), offset = quint8(b[1]) << 8 | quint8(b[2]), type = quint8(b[3]);
        for (int i = 0; type == 0 && i < length; ++i) {
            const int address = base + ((offset + i) & 0xFFFF);
            if (address < 0x0800 || address > 0x7FFF || image.value(address, quint8(b[4 + i])) != quint8(b[4 + i]))
                return false;
            image[address] = quint8(b[4 + i]);
        }
        if (type > 5 || (type > 0 && length != (type == 1 ? 0 : type == 3 || type == 5 ? 4 : 2)))
            return false;
        end = type == 1;
        if (type == 2 || type == 4)
            base = (quint8(b[4]) << 8 | quint8(b[5])) << (type == 2 ? 4 : 16);
    }
    units = 0;
    for (int unit = 0x0800; unit < 0x8000; unit += 16) {
        QByteArray body = QByteArray("\x02\x02") + char(unit) + char(unit >> 8) + char(0);
        for (int a = unit; a < unit + 16; ++a)
            body += image.contains(a) ? QByteArray(1, char(image[a])) : QByteArray();
        body += char(-byteSum(body));
        const auto escapes
            = std::count_if(body.begin(), body.end(), [](char c) { return c == 4 || c == 5 || c == 15; });
        if (body.size() != 6 && (body.size() != 22 || escapes > 3))
            return false;
        units += body.size() == 22;
    }
    return end && units > 0;
}

// One random damage with a fitting checksum, or the file cut short. Digit-level damage has its fixed samples.
QByteArray mutate(QRandomGenerator &rng, const QByteArray &file)
{
    QList<QByteArray> lines = file.split('\n');
    lines.removeAll(QByteArray());
    if (lines.isEmpty() || chance(rng, 0.2)) // cut short anywhere
        return file.left(pick(rng, 0, int(file.size())));
    const int which = pick(rng, 0, int(lines.size()) - 1);
    const auto hexLine = [](QByteArray bytes) { return ':' + bytes.append(char(-byteSum(bytes))).toHex().toUpper(); };
    QByteArray b = QByteArray::fromHex(lines[which].mid(1));
    if (chance(rng, 0.5) && b.size() > 1) { // a byte changed, often the length
        b[chance(rng, 0.3) ? 0 : pick(rng, 0, int(b.size()) - 2)] = char(rng.bounded(256));
        lines[which] = hexLine(b.chopped(1));
    } else { // a data record added: often a whole unit in range or near its edges, bytes often needing an escape
        static const int edges[] = {0x0000, 0x07F0, 0x07F8, 0x0800, 0x0808, 0x7FF0, 0x7FF8, 0x8000, 0xFFF8};
        const int address = chance(rng, 0.3) ? edges[rng.bounded(int(std::size(edges)))] : pick(rng, 0x80, 0x7FF) * 16;
        QByteArray data(chance(rng, 0.85) ? 16 : pick(rng, 1, 20), '\0');
        for (char &c : data)
            c = chance(rng, 0.15) ? "\x04\x05\x0F"[rng.bounded(3)] : char(rng.bounded(256));
        lines.insert(
            which, hexLine(QByteArray(1, char(data.size())) + char(address >> 8) + char(address) + char(0) + data));
    }
    return lines.join('\n') + '\n';
}

} // namespace

class tst_hostile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void repliesOfAnyShapeAreJudgedByTheirBytes_data()
    {
        QTest::addColumn<int>("command");
        for (int i = 0; i < int(std::size(kCommands)); ++i)
            QTest::addRow("a reply of any shape to the %s", kCommands[i].name) << i;
    }
    // Every fourth reply comes over the line, the others are handed to the window.
    void repliesOfAnyShapeAreJudgedByTheirBytes()
    {
        QFETCH(int, command);
        const Command c = kCommands[command];
        const QString cmd = commandText(c.packet);
        const quint32 seed = kSeed * 1000 + quint32(command);
        const int cases = cmd == "0000" ? 20 : 400; // each wake costs its settling pause
        QRandomGenerator rng(seed);
        Bench bench;
        PtyLine line;
        bench.usePort1(line.slavePath());
        frmMain &w = bench.window();
        QByteArray reply;
        bool overTheLine = false;
        w.onPoll = [&](int poll) {
            if (poll == 1 && !overTheLine)
                w.HandleInput(reply);
            if (poll == 1 && overTheLine)
                line.write(reply);
        };
        for (int n = 0; n < cases; ++n) {
            overTheLine = n % 4 == 0;
            const bool arrives = n > 0 || cmd == "0000"; // the first falls short of the threshold: the wait runs out
            reply = randomReply(rng, cmd, overTheLine && arrives ? c.threshold : 0, arrives ? 40 : c.threshold - 1);
            const bool answerYes = chance(rng, 0.5);
            CHECK(w.MSComm1.PortOpen() || w.MSComm1.setPortOpen(true), "the port did not open");
            line.readAvailable(); // the packet before
            w.bStopped = w.bUpdateOver = w.bFailed = w.bVersionAccepted = false;
            w.bFirstErase = w.bFirstProgram = true;
            w.sReply = "left from before";
            w.ResetStatusBar();
            bench.messages.clear();
            bench.answer = answerYes ? QMessageBox::Yes : QMessageBox::No;
            w.Send(c.packet);
            const QString want = judge(cmd, reply, arrives, answerYes);
            const QString seen = outcome(bench.messageTexts(), w.bUpdateOver, w.bFailed, w.bVersionAccepted,
                w.panelText(1), w.panelText(3), w.panelText(4));
            CHECK(seen == want, "reply " + reply.toHex() + "\n   gave " + seen + "\n   want " + want);
            CHECK(w.bStopped == w.bUpdateOver && w.MSComm1.PortOpen() != w.bUpdateOver,
                "stopped or port disagree with the end");
        }
        qInfo("%s: %d cases, a quarter over the line", QTest::currentDataTag(), cases);
    }

    // Each text read as packet digits and as a port number; a third begin with a number, sign or point.
    void anyTextGivesTheBytesAndThePortNumberItReadsAs()
    {
        const quint32 seed = kSeed * 1000 + 100;
        QRandomGenerator rng(seed);
        const auto digit
            = [](QChar c) { return c.unicode() < 128 ? int(QString("0123456789abcdef").indexOf(c.toLower())) : -1; };
        for (int n = 0; n < 6000; ++n) {
            const QString text
                = (n % 3 ? QString() : QString("-+. 0123456789")[pick(rng, 0, 13)]) + randomText(rng, n % 2 ? 64 : 6);
            QByteArray want; // a pair with a bad first digit gives 0, with a bad second its first digit
            for (int i = 0; i + 1 < text.size(); i += 2) {
                const int hi = digit(text[i]), lo = digit(text[i + 1]);
                want += char(hi < 0 ? 0 : lo < 0 ? hi : hi * 16 + lo);
            }
            CHECK(aStringToHex(text) == want,
                "\"" + text + "\" gave " + aStringToHex(text).toHex() + ", not " + want.toHex());
            CHECK(portNumberFromText(text) == readPortNumber(text),
                QString("\"%1\" read as %2, not %3").arg(text).arg(portNumberFromText(text)).arg(readPortNumber(text)));
        }
    }

    // Typed key by key into the port box, a text leaves the number the box shows, and an update started
    // with it ends in order: on port 1 at the unit's version, elsewhere with the probe's message.
    void textsTypedIntoThePortBoxGiveTheirNumberAndAnOrderlyRun()
    {
        const quint32 seed = kSeed * 1000 + 200;
        QRandomGenerator rng(seed);
        Bench bench;
        QVERIFY(bench.startSim({"--version", "1208"})); // on port 1 the run ends at the refused replacement
        auto *box = bench.window().findChild<QComboBox *>("cboComPort");
        for (int n = 0; n < 40; ++n) {
            const QString keys = "-+. 0123456789e,xC"; // what keyClicks can type, and what a number is made of
            QString text;
            for (int k = pick(rng, 1, 5); k > 0; --k)
                text += keys[pick(rng, 0, int(keys.size()) - 1)];
            box->lineEdit()->selectAll();
            QTest::keyClicks(box->lineEdit(), text);
            const int shown = readPortNumber(box->currentText());
            CHECK(bench->iComPort == (shown == 0 ? 1 : shown),
                QString("\"%1\" left \"%2\" and port %3").arg(text, box->currentText()).arg(bench->iComPort));
            bench.messages.clear();
            CHECK(bench.programAndSettle(), "the window did not come back to rest after \"" + text + "\"");
            const QString want = bench->iComPort == 1 ? "Would you like to replace version 1208 with 1208?"
                                                      : "Selected Com Port is not available.";
            CHECK(bench.messageTexts() == QStringList {want}, bench.messageTexts().join(" | "));
        }
    }

    // The tool must refuse with a message naming itself, or accept exactly when the oracle does.
    void randomFirmwareImagesAreAcceptedOnlyWhenValidAndOtherwiseRefusedWithAMessage()
    {
        const quint32 seed = kSeed * 1000 + 300;
        QRandomGenerator rng(seed);
        const int cases = 300;
        QFile validFile(QStringLiteral(AXR574_TESTDATA "/hex/valid.hex"));
        QVERIFY(validFile.open(QIODevice::ReadOnly));
        const QByteArray valid = validFile.readAll();
        QTemporaryDir dir;
        const QString in = dir.filePath("image.hex");
        int units = 0, accepted = 0;
        for (int n = 0; n < cases; ++n) {
            QByteArray image = valid;
            for (int k = pick(rng, 1, 4); k > 0; --k)
                image = mutate(rng, image);
            QFile file(in);
            CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(image) == image.size(),
                "the image could not be written");
            file.close();
            QProcess tool;
            tool.start(QStringLiteral(AXR574_TABLEGEN), {in, dir.filePath("tables.cpp")});
            CHECK(tool.waitForFinished(60000) && tool.exitStatus() == QProcess::NormalExit,
                "the generator did not end normally");
            const QString err = QString::fromLocal8Bit(tool.readAllStandardError());
            const bool isValid = validImage(image, units);
            const QString detail
                = QString("exit %1, valid %2, %3\n%4").arg(tool.exitCode()).arg(isValid).arg(err, image);
            accepted += tool.exitCode() == 0;
            CHECK(tool.exitCode() == 0
                    ? isValid && tool.readAllStandardOutput().contains(QByteArray::number(units) + " program packets")
                    : tool.exitCode() == 1 && !isValid && err.startsWith("axr574-tablegen: ")
                        && err.trimmed().size() > 30,
                detail);
        }
        QVERIFY2(accepted > 0 && accepted < cases, qPrintable(QString("%1 of %2 accepted").arg(accepted).arg(cases)));
    }

    // The unit floods from the erase packet at which the Cancel comes; garbage in place of a reply the replies
    // test judges already.
    void aFloodingUnitLeavesTheUpdaterResponsiveToCancelAndTheRunEndsInOrder()
    {
        const quint32 seed = kSeed * 1000 + 400;
        QRandomGenerator rng(seed);
        for (int n = 0; n < 10; ++n) {
            const int cancelAt = pick(rng, 2, 60); // frame 1 reads the version
            Bench bench;
            CHECK(bench.startSim({"--flood-after", QString::number(cancelAt)}), "the unit did not start");
            int waits = 0;
            bench->onPoll = [&](int poll) {
                if (poll == 1 && ++waits == cancelAt)
                    bench->cmdExit_Click();
            };
            CHECK(bench.programAndSettle() && bench.sim().dump(), "the window did not come back to rest");
            CHECK(bench.messageTexts() == QStringList {kCancelled} && waits == cancelAt,
                QString("cancelled at wait %1 of %2: ").arg(waits).arg(cancelAt) + bench.messageTexts().join(" | "));
            CHECK(bench.sim().frames().size() == waits && bench.sim().violations().isEmpty() && !bench->successDialog(),
                QString("%1 frames, %2 waits; ").arg(bench.sim().frames().size()).arg(waits)
                    + bench.sim().violations().join(" | "));
        }
    }
};

QTEST_MAIN(tst_hostile)
#include "tst_hostile.moc"

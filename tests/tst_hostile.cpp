// Hostile input from fixed seeds: replies of any shape to every command, any packet
// text, anything typed into the port box, broken firmware images and a unit that
// floods the line. A failure names its seed and case: QRandomGenerator(seed) replays it.
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

// Typeable: printable ASCII only, and no Tab (the key moves the focus).
QString randomText(QRandomGenerator &rng, int maxLength, bool typeable)
{
    static const QString pool = QStringLiteral("0123456789abcdefABCDEF+-. GgxX,;:/COM\t");
    QString s;
    for (int i = pick(rng, 0, maxLength); i > 0; --i) {
        const int kind = pick(rng, 0, typeable ? 2 : 4);
        s += kind <= 1 ? pool[pick(rng, 0, int(pool.size()) - (typeable ? 2 : 1))]
                       : QChar(kind == 2   ? pick(rng, 0x20, 0x7E)
                               : kind == 3 ? pick(rng, 0xA0, 0xFF)
                                           : pick(rng, 0x100, 0xD7FF));
    }
    return s;
}

// The oracle: records well formed, an end record last, data only in 0x0800-0x7FFF, no byte
// given twice differently, 16-byte units whole or absent, at most 3 bytes to escape a packet.
bool validImage(const QByteArray &file, int &units)
{
    QMap<int, quint8> image;
    int base = 0;
    bool end = false;
    for (QByteArray line : file.split('\n')) {
        while (!line.isEmpty() && QByteArray("\r \t").contains(line.back()))
            line.chop(1);
        const QByteArray digits = line.mid(1), b = QByteArray::fromHex(digits);
        if (line.isEmpty())
            continue;
        if (end || !line.startsWith(':') || digits.size() % 2 || b.size() < 5 || b.size() != quint8(b[0]) + 5
            || byteSum(b) % 256
            || !std::all_of(digits.begin(), digits.end(), [](char c) { return isxdigit(uchar(c)); }))
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

// One random damage to a file; the checksum made to fit where named.
QByteArray mutate(QRandomGenerator &rng, const QByteArray &file)
{
    QList<QByteArray> lines = file.split('\n');
    lines.removeAll(QByteArray());
    if (lines.isEmpty())
        return file;
    const int which = pick(rng, 0, int(lines.size()) - 1);
    QByteArray &line = lines[which];
    QByteArray b = QByteArray::fromHex(line.mid(1));
    b.chop(1); // the checksum, made anew by hexLine
    const auto hexLine = [](QByteArray bytes) { return ':' + bytes.append(char(-byteSum(bytes))).toHex().toUpper(); };
    switch (pick(rng, 0, 5)) {
    case 0: // a digit changed
        line[pick(rng, 0, int(line.size()) - 1)] = "0123456789ABCDEF"[rng.bounded(16)];
        break;
    case 1: // a byte changed, often the length (checksum made to fit)
        if (!b.isEmpty())
            b[chance(rng, 0.3) ? 0 : pick(rng, 0, int(b.size()) - 1)] = char(rng.bounded(256));
        line = b.isEmpty() ? line : hexLine(b);
        break;
    case 2: { // a data record added: often a whole unit in range or near its edges, bytes often needing an escape
        static const int edges[] = {0x0000, 0x07F0, 0x07F8, 0x0800, 0x0808, 0x7FF0, 0x7FF8, 0x8000, 0xFFF8};
        const int address = chance(rng, 0.3) ? edges[rng.bounded(int(std::size(edges)))]
            : chance(rng, 0.8)               ? pick(rng, 0x80, 0x7FF) * 16
                                             : pick(rng, 0, 0xFFFF);
        QByteArray data(chance(rng, 0.85) ? 16 : pick(rng, 1, 20), '\0');
        for (char &c : data)
            c = chance(rng, 0.15) ? "\x04\x05\x0F"[rng.bounded(3)] : char(rng.bounded(256));
        lines.insert(
            which, hexLine(QByteArray(1, char(data.size())) + char(address >> 8) + char(address) + char(0) + data));
        break;
    }
    case 3: // cut short anywhere
        return lines.join('\n').left(pick(rng, 0, int(lines.join('\n').size())));
    case 4: // a line gone
        lines.removeAt(which);
        break;
    case 5: // a character inserted
        line.insert(pick(rng, 0, int(line.size())), char(pick(rng, 0x20, 0x7E)));
        break;
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
    void anyPacketTextGivesOneDefinedBytePerDigitPair()
    {
        const quint32 seed = kSeed * 1000 + 100;
        QRandomGenerator rng(seed);
        const int cases = 3000;
        const auto digit
            = [](QChar c) { return c.unicode() < 128 ? int(QString("0123456789abcdef").indexOf(c.toLower())) : -1; };
        for (int n = 0; n < cases; ++n) {
            const QString text = randomText(rng, 64, false);
            QByteArray want; // a pair with a bad first digit gives 0, with a bad second its first digit
            for (int i = 0; i + 1 < text.size(); i += 2) {
                const int hi = digit(text[i]), lo = digit(text[i + 1]);
                want += char(hi < 0 ? 0 : lo < 0 ? hi : hi * 16 + lo);
            }
            CHECK(aStringToHex(text) == want,
                "\"" + text + "\" gave " + aStringToHex(text).toHex() + ", not " + want.toHex());
        }
        qInfo("packet texts: %d cases", cases);
    }
    // Even cases are typed key by key (printable ASCII), odd ones pasted whole.
    void anythingTypedIntoThePortBoxGivesTheNumberItReadsAsAndARunThatEndsInOrder()
    {
        const quint32 seed = kSeed * 1000 + 200;
        QRandomGenerator rng(seed);
        const int cases = 500;
        Bench bench; // a unit of another model ends a run on port 1 after one exchange
        QVERIFY(bench.startSim({"--model", "0575"}));
        frmMain &w = bench.window();
        auto *box = w.findChild<QComboBox *>("cboComPort");
        QLineEdit *edit = box ? box->lineEdit() : nullptr;
        QVERIFY(edit);
        int onPort1 = 0;
        for (int n = 0; n < cases; ++n) {
            const bool keyByKey = n % 2 == 0;
            QString text = randomText(rng, 6, keyByKey);
            if (chance(rng, 0.4)) // numbers, signs and points lead more often
                text.prepend(QString("-+. 0123456789")[pick(rng, 0, 13)]);
            CHECK(portNumberFromText(text) == readPortNumber(text), "read \"" + text + "\"");
            box->setCurrentIndex(0);
            w.cboComPort_Click();
            edit->selectAll();
            // A key replaces the selection or lands at the cursor; after each change the box
            // keeps two characters, and a text reading as no port gives COM1.
            QString shown = keyByKey ? "COM1" : text;
            for (int i = 0; keyByKey && i < text.size(); ++i) {
                const int at = edit->hasSelectedText() ? edit->selectionStart() : edit->cursorPosition();
                shown = edit->text().replace(at, edit->selectedText().size(), text[i]);
                QTest::keyClicks(edit, QString(text[i]));
            }
            if (!keyByKey)
                edit->insert(text);
            shown = readPortNumber(shown.left(2)) ? shown.left(2) : "COM1";
            const int port = readPortNumber(shown) ? readPortNumber(shown) : 1;
            CHECK(w.iComPort == port && box->currentText() == shown,
                QString("\"%1\" gave %2 \"%3\", not %4 \"%5\"")
                    .arg(text)
                    .arg(w.iComPort)
                    .arg(box->currentText())
                    .arg(port)
                    .arg(shown));
            bench.messages.clear();
            onPort1 += port == 1;
            const QString expected
                = port == 1 ? "Attached device is not the AXR-574." : "Selected Com Port is not available.";
            CHECK(bench.programAndSettle() && bench.messageTexts() == QStringList {expected},
                bench.messageTexts().join(" | "));
        }
        QVERIFY(bench.sim().dump());
        QCOMPARE(bench.sim().commands(), QStringList(onPort1, "0001"));
        qInfo("port texts: %d cases, %d on port 1", cases, onPort1);
    }
    void randomFirmwareImagesAreAcceptedOnlyWhenValidAndOtherwiseRefusedWithAMessage()
    {
        const quint32 seed = kSeed * 1000 + 300;
        QRandomGenerator rng(seed);
        const int cases = 300;
        QFile validFile(QStringLiteral(AXR574_TESTDATA "/hex/valid.hex"));
        QVERIFY(validFile.open(QIODevice::ReadOnly));
        const QByteArray valid = validFile.readAll();
        int units = 0, accepted = 0;
        QVERIFY(validImage(valid, units));
        QTemporaryDir dir;
        const QString in = dir.filePath("image.hex"), out = dir.filePath("tables.cpp");
        const auto put = [](const QString &path, const QByteArray &bytes) {
            QFile f(path);
            return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
        };
        for (int n = 0; n < cases; ++n) {
            QByteArray image = valid;
            for (int k = pick(rng, chance(rng, 0.2) ? 0 : 1, 4); k > 0; --k)
                image = mutate(rng, image);
            CHECK(dir.isValid() && put(in, image) && put(out, "stale"), "the files could not be written");
            QProcess tool;
            tool.start(QStringLiteral(AXR574_TABLEGEN), {in, out});
            CHECK(tool.waitForFinished(60000) && tool.exitStatus() == QProcess::NormalExit,
                "the generator did not end normally");
            const QString err = QString::fromLocal8Bit(tool.readAllStandardError());
            const bool isValid = validImage(image, units);
            const QString detail
                = QString("exit %1, valid %2, %3\n%4").arg(tool.exitCode()).arg(isValid).arg(err, image);
            accepted += tool.exitCode() == 0;
            if (tool.exitCode() == 0)
                CHECK(isValid && tool.readAllStandardOutput().contains(QByteArray::number(units) + " program packets"),
                    detail);
            else
                CHECK(tool.exitCode() == 1 && !isValid && err.startsWith("axr574-tablegen: ")
                        && err.trimmed().size() > 30 && !QFile::exists(out),
                    "refused without a clear message, or left a table, " + detail);
        }
        qInfo("firmware images: %d cases, %d accepted", cases, accepted);
    }
    // Even cases flood from the start, odd ones from the erase packet at which the Cancel comes.
    void aFloodingUnitLeavesTheUpdaterResponsiveToCancelAndTheRunEndsInOrder()
    {
        const quint32 seed = kSeed * 1000 + 400;
        QRandomGenerator rng(seed);
        const int cases = 16;
        int cancelled = 0;
        for (int n = 0; n < cases; ++n) {
            const bool fromTheStart = n % 2 == 0;
            const int cancelAt = fromTheStart ? pick(rng, 1, 12) : pick(rng, 2, 60); // frame 1 reads the version
            Bench bench;
            CHECK(bench.startSim(fromTheStart ? QStringList {"--flood"}
                                              : QStringList {"--flood-after", QString::number(cancelAt)}),
                "the unit did not start");
            int waits = 0;
            bench->onPoll = [&](int poll) {
                if (poll == 1 && ++waits == cancelAt)
                    bench->cmdExit_Click();
            };
            CHECK(bench.programAndSettle() && bench.sim().dump(), "the window did not come back to rest");
            // A reply spoiled by the flood may end the run first: one message, nothing sent after.
            const QStringList texts = bench.messageTexts();
            const bool cancel = texts.value(0) == kCancelled;
            const bool spoiled = fromTheStart && (texts.value(0) == kNotBootloader || texts.value(0) == kCommError);
            CHECK(texts.size() == 1 && (cancel || spoiled), texts.join(" | "));
            CHECK(!cancel || waits == cancelAt, QString("cancelled at wait %1, not %2").arg(waits).arg(cancelAt));
            const QStringList violations = bench.sim().violations();
            CHECK(bench.sim().frames().size() == waits && violations.isEmpty() && !bench->successDialog(),
                QString("%1 frames, %2 waits; ").arg(bench.sim().frames().size()).arg(waits) + violations.join(" | "));
            cancelled += cancel;
        }
        qInfo("floods: %d cases, %d ended by the Cancel", cases, cancelled);
    }
};

QTEST_MAIN(tst_hostile)
#include "tst_hostile.moc"

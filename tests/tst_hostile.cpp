// Hostile input, many random cases from fixed seeds: replies of any shape to
// every command, packet texts of any kind, anything typed into the port box,
// broken firmware images for the table generator, and a unit that floods the
// line. A failing case names its seed; QRandomGenerator(seed) brings it back.
#include "harness.h"

#include "link/codec.h"
#include "update/packets.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <map>

namespace {

constexpr quint32 kSeed = 574;

const QString kCommError = QStringLiteral("Error communicating with Port.");
const QString kNotBootloader = QStringLiteral("Make sure device is in bootloader mode.");
const QString kCancelled = QStringLiteral("Firmware update was cancelled.");
const QString kReady = QStringLiteral("For Help press F1");

QString caseName(quint32 seed, int n)
{
    return QString("seed %1, case %2").arg(seed).arg(n);
}

int pick(QRandomGenerator &rng, int lo, int hi) // inclusive
{
    return lo + int(rng.bounded(quint32(hi - lo + 1)));
}

bool chance(QRandomGenerator &rng, double p)
{
    return rng.generateDouble() < p;
}

// ---- Replies ---------------------------------------------------------------

struct Command {
    const char *name;
    QString packet;
    int threshold; // bytes that must be waiting before a reply counts as come
};

QVector<Command> commands()
{
    return {
        {"version read", "0F0F0001FF04", 16},
        {"erase", QString::fromLatin1(firmware::ErasePackets[firmware::ErasePacketCount / 2]), 5},
        {"program", QString::fromLatin1(firmware::ProgramPackets[firmware::ProgramPacketCount / 2]), 5},
        {"blank check", "0F0F0A02000800EC04", 13},
        {"verify", "0F0F0A01000800ED04", 13},
        {"reset of defaults", "0F0F0B01160800D604", 5},
        {"wake", "000000000000000000000000000000000000FEFE3300424C3FFD", 8},
    };
}

// Random bytes, with the fields that the verdict depends on often set right,
// so that every branch of the verdict is met.
QByteArray randomReply(QRandomGenerator &rng, const QString &cmd, int minLength)
{
    QByteArray r(pick(rng, minLength, 40), '\0');
    for (char &c : r)
        c = char(rng.bounded(256));
    auto put = [&r](int position, const QByteArray &bytes) {
        for (int i = 0; i < bytes.size() && position - 1 + i < r.size(); ++i)
            r[position - 1 + i] = bytes[i];
    };
    if (chance(rng, 0.7))
        put(1, QByteArray::fromHex("0F0F"));
    if (cmd == "0001") {
        if (chance(rng, 0.7))
            put(5, "0574");
        if (chance(rng, 0.25))
            put(9, QByteArray(1, char(0xFF)));
        else if (chance(rng, 0.6))
            put(9, QByteArray::number(pick(rng, 0, 9999)).rightJustified(4, '0'));
    } else if (cmd == "0A02" && chance(rng, 0.5)) {
        put(8, QByteArray::fromHex("00C4FF3B"));
    } else if (cmd == "0A01" && chance(rng, 0.5)) {
        put(8, QByteArray::fromHex("0000"));
    }
    return r;
}

// What the window must show after a reply, worked out from the reply alone.
struct Verdict {
    QStringList messages;
    bool ended = false;
    bool failed = false;
    bool accepted = false;
    QString panel1; // empty: not determined by the verdict
    QString panel3;
    QString panel4;
};

Verdict judge(const QString &cmd, const QByteArray &r, bool answerYes)
{
    auto at = [&r](int position) { return position >= 1 && position <= r.size() ? int(quint8(r[position - 1])) : -1; };
    Verdict v;
    if (cmd == "0000")
        return v;
    if (at(1) != 0x0F || at(2) != 0x0F) {
        v.messages << kNotBootloader;
        v.ended = v.failed = true;
        v.panel1 = kReady;
        return v;
    }
    auto errorData = [&at] {
        QStringList parts;
        for (int p = 11; p >= 8; --p)
            parts << (at(p) < 0 ? QString("??") : QString::asprintf("%02X", at(p)));
        return parts.join('-');
    };
    if (cmd == "0A02" && !(at(8) == 0x00 && at(9) == 0xC4 && at(10) == 0xFF && at(11) == 0x3B)) {
        v.messages << "Blank Check Error";
        v.ended = v.failed = true;
        v.panel1 = "Blank Check Failed";
        v.panel3 = errorData();
    } else if (cmd == "0A01" && !(at(8) == 0x00 && at(9) == 0x00)) {
        v.messages << "Verify Checksum Error";
        v.ended = v.failed = true;
        v.panel1 = "Verify Failed";
        v.panel3 = errorData();
    } else if (cmd == "0001") {
        const QByteArray unitVersion = r.mid(8, 4);
        v.panel4 = at(9) == 0xFF ? QString("0000.00")
                                 : QString::fromLatin1(unitVersion) + '.' + QString::fromLatin1(r.mid(12, 2));
        if (r.mid(4, 4) != "0574") {
            v.messages << "Attached device is not the AXR-574.";
            v.ended = true;
            v.panel1 = kReady;
        } else if (at(9) == 0xFF) {
            v.accepted = true;
        } else {
            // The carried version is digits only, so byte order decides even
            // where letters would be compared without regard to case.
            const QByteArray carried = "1208";
            const bool older = std::lexicographical_compare(
                unitVersion.begin(), unitVersion.end(), carried.begin(), carried.end(),
                [](char a, char b) { return quint8(a) < quint8(b); });
            if (older) {
                v.accepted = true;
            } else {
                v.messages << "Would you like to replace version " + QString::fromLatin1(unitVersion) + " with 1208?";
                v.accepted = answerYes;
                v.ended = !answerYes;
                if (!answerYes)
                    v.panel1 = kReady;
            }
        }
    }
    return v;
}

// ---- Port box --------------------------------------------------------------

// The number a port text reads as: blanks, a sign, digits with at most one
// point; halves round to even; the result saturates at the 16-bit limits.
int readPortNumber(const QString &text)
{
    int i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    QString whole, fraction;
    bool point = false;
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c >= '0' && c <= '9')
            (point ? fraction : whole) += c;
        else if (c == '.' && !point)
            point = true;
        else
            break;
    }
    while (whole.startsWith('0'))
        whole.remove(0, 1);
    const int limit = negative ? 32768 : 32767;
    if (whole.size() > 5)
        return negative ? -limit : limit;
    long value = whole.isEmpty() ? 0 : whole.toLong();
    const QString rest = fraction.mid(1);
    const bool restZero = std::all_of(rest.begin(), rest.end(), [](QChar c) { return c == '0'; });
    if (!fraction.isEmpty()) {
        if (fraction[0] > '5' || (fraction[0] == '5' && !restZero) || (fraction[0] == '5' && value % 2 == 1))
            ++value;
    }
    value = std::min<long>(value, limit);
    return int(negative ? -value : value);
}

// The port box after a text change: two characters at most, and a text that
// reads as no port falls back to COM1.
QString reactToPortText(QString text, int &port)
{
    if (text.size() > 2)
        text = text.left(2);
    port = readPortNumber(text);
    if (port == 0) {
        port = 1;
        text = "COM1";
    }
    return text;
}

QString randomText(QRandomGenerator &rng, int maxLength, bool asciiOnly)
{
    static const QString pool = QStringLiteral("0123456789abcdefABCDEF+-. \tGgxX,;:/COM");
    QString s;
    const int length = pick(rng, 0, maxLength);
    for (int i = 0; i < length; ++i) {
        const int kind = pick(rng, 0, asciiOnly ? 2 : 4);
        if (kind <= 1)
            s += pool[pick(rng, 0, int(pool.size()) - 1)];
        else if (kind == 2)
            s += QChar(pick(rng, 0x20, 0x7E));
        else if (kind == 3)
            s += QChar(pick(rng, 0xA0, 0xFF));
        else
            s += QChar(char16_t(pick(rng, 0x100, 0xD7FF)));
    }
    return s;
}

// ---- Firmware images ---------------------------------------------------------

QByteArray record(int type, int offset, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(char(data.size())).append(char(offset >> 8)).append(char(offset)).append(char(type)).append(data);
    int sum = 0;
    for (char c : bytes)
        sum += quint8(c);
    bytes.append(char(-sum));
    return ':' + bytes.toHex().toUpper();
}

// The table generator's acceptable image, from the HEX format and the unit's
// limits: records well formed, an end record last, data only from 0x0800 to
// 0x7FFF, no byte given twice with different values, every 16-byte unit whole
// or absent, and no packet with more than three bytes needing an escape.
bool validImage(const QByteArray &file, int &units)
{
    QMap<int, quint8> image;
    int base = 0;
    bool eof = false;
    for (QByteArray line : file.split('\n')) {
        while (!line.isEmpty() && (line.endsWith('\r') || line.endsWith(' ') || line.endsWith('\t')))
            line.chop(1);
        if (line.isEmpty())
            continue;
        if (eof || !line.startsWith(':'))
            return false;
        const QByteArray digits = line.mid(1);
        if (digits.size() % 2 || !std::all_of(digits.begin(), digits.end(), [](char c) { return isxdigit(uchar(c)); }))
            return false;
        const QByteArray b = QByteArray::fromHex(digits);
        if (b.size() < 5 || b.size() != quint8(b[0]) + 5)
            return false;
        int sum = 0;
        for (char c : b)
            sum += quint8(c);
        if (sum % 256)
            return false;
        const int length = quint8(b[0]);
        const int offset = quint8(b[1]) << 8 | quint8(b[2]);
        const int type = quint8(b[3]);
        if (type == 0) {
            for (int i = 0; i < length; ++i) {
                const int address = base + ((offset + i) & 0xFFFF);
                if (address < 0x0800 || address > 0x7FFF)
                    return false;
                if (image.contains(address) && image[address] != quint8(b[4 + i]))
                    return false;
                image[address] = quint8(b[4 + i]);
            }
        } else if (type == 1) {
            if (length != 0)
                return false;
            eof = true;
        } else if (type == 2 || type == 4) {
            if (length != 2)
                return false;
            base = (quint8(b[4]) << 8 | quint8(b[5])) << (type == 2 ? 4 : 16);
        } else if (type == 3 || type == 5) {
            if (length != 4)
                return false;
        } else {
            return false;
        }
    }
    if (!eof || image.isEmpty())
        return false;
    units = 0;
    for (int unit = 0x0800; unit < 0x8000; unit += 16) {
        QByteArray body{"\x02\x02"};
        body.append(char(unit)).append(char(unit >> 8)).append(char(0));
        int filled = 0;
        for (int a = unit; a < unit + 16; ++a) {
            if (image.contains(a)) {
                ++filled;
                body.append(char(image[a]));
            }
        }
        if (filled == 0)
            continue;
        if (filled != 16)
            return false;
        int sum = 0;
        for (char c : body)
            sum += quint8(c);
        body.append(char(-sum));
        const auto special = std::count_if(body.begin(), body.end(), [](char c) { return c == 0x04 || c == 0x05 || c == 0x0F; });
        if (special > 3)
            return false;
        ++units;
    }
    return true;
}

QByteArray randomImage(QRandomGenerator &rng)
{
    QList<QByteArray> lines;
    const int count = pick(rng, 1, 4);
    for (int i = 0; i < count; ++i) {
        int address = chance(rng, 0.8) ? pick(rng, 0x80, 0x7FF) * 16 : pick(rng, 0, 0x9000);
        if (address >= 0x10000)
            address &= 0xFFFF;
        QByteArray data(chance(rng, 0.85) ? 16 : pick(rng, 1, 20), '\0');
        for (char &c : data)
            c = chance(rng, 0.05) ? char(0x0F) : char(rng.bounded(256));
        lines << record(0, address, data);
    }
    if (chance(rng, 0.9))
        lines << ":00000001FF";
    return lines.join('\n') + '\n';
}

QByteArray mutate(QRandomGenerator &rng, const QByteArray &file)
{
    QList<QByteArray> lines = file.split('\n');
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    if (lines.isEmpty())
        return file;
    const int which = pick(rng, 0, int(lines.size()) - 1);
    QByteArray &line = lines[which];
    const auto refit = [&line](QByteArray b) { // b: bytes without checksum
        int sum = 0;
        for (char c : b)
            sum += quint8(c);
        b.append(char(-sum));
        line = ':' + b.toHex().toUpper();
    };
    QByteArray bytes = QByteArray::fromHex(line.mid(1));
    switch (pick(rng, 0, 6)) {
    case 0: // a flipped digit
        if (line.size() > 1) {
            const int at = pick(rng, 1, int(line.size()) - 1);
            line[at] = "0123456789ABCDEF"[rng.bounded(16)];
        }
        break;
    case 1: // a flipped digit with the checksum made to fit
        if (bytes.size() >= 2) {
            bytes.chop(1);
            bytes[pick(rng, 0, int(bytes.size()) - 1)] = char(rng.bounded(256));
            refit(bytes);
        }
        break;
    case 2: // another length
        if (bytes.size() >= 2) {
            bytes.chop(1);
            bytes[0] = char(pick(rng, 0, 32));
            refit(bytes);
        }
        break;
    case 3: // the record moved, often to near the edges of the program memory
        if (bytes.size() >= 5 && bytes[3] == 0) {
            static const int edges[] = {0x0000, 0x07F0, 0x07F8, 0x0800, 0x0808, 0x7FF0, 0x7FF8, 0x8000, 0xFFF8};
            int offset = chance(rng, 0.6) ? edges[rng.bounded(int(std::size(edges)))] : pick(rng, 0, 0xFFFF);
            if (which == 1) // the first data record lies in segment 0x0080
                offset = (offset - 0x0800) & 0xFFFF;
            bytes.chop(1);
            bytes[1] = char(offset >> 8);
            bytes[2] = char(offset);
            refit(bytes);
        }
        break;
    case 4: { // cut short anywhere
        const QByteArray whole = lines.join('\n');
        return whole.left(pick(rng, 0, int(whole.size())));
    }
    case 5:
        lines.removeAt(which);
        break;
    case 6: // a character inserted
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
    void initTestCase();
    void repliesOfAnyShapeAreJudgedByStartBytesAndPositions_data();
    void repliesOfAnyShapeAreJudgedByStartBytesAndPositions();
    void repliesShorterThanTheThresholdNeverArrive();
    void anyPacketTextBecomesHalfItsLengthInBytes();
    void anythingTypedIntoThePortBoxGivesTheNumberItReadsAs_data();
    void anythingTypedIntoThePortBoxGivesTheNumberItReadsAs();
    void brokenFirmwareImagesAreRefusedWithAMessage();
    void aFloodingUnitLeavesTheUpdaterResponsiveToCancel_data();
    void aFloodingUnitLeavesTheUpdaterResponsiveToCancel();
    void cleanupTestCase();

private:
    QStringList m_counts;
};

void tst_hostile::initTestCase()
{
    QApplication::setQuitOnLastWindowClosed(false);
}

void tst_hostile::repliesOfAnyShapeAreJudgedByStartBytesAndPositions_data()
{
    QTest::addColumn<int>("commandIndex");
    QTest::addColumn<bool>("overTheLine");
    QTest::addColumn<int>("cases");
    const QVector<Command> all = commands();
    for (int i = 0; i < all.size(); ++i) {
        const bool wake = QLatin1String(all[i].name) == QLatin1String("wake");
        // Every wake frame costs its settling pause, so fewer of them.
        QTest::addRow("%s reply handed to the window", all[i].name) << i << false << (wake ? 20 : 250);
        QTest::addRow("%s reply over the line", all[i].name) << i << true << (wake ? 10 : 60);
    }
}

void tst_hostile::repliesOfAnyShapeAreJudgedByStartBytesAndPositions()
{
    QFETCH(int, commandIndex);
    QFETCH(bool, overTheLine);
    QFETCH(int, cases);
    const Command command = commands()[commandIndex];
    const QString cmd = commandText(command.packet);
    const quint32 seed = kSeed * 1000 + quint32(commandIndex) * 10 + (overTheLine ? 1 : 0);
    QRandomGenerator rng(seed);

    Bench bench;
    PtyLine line;
    QVERIFY(line.isOpen());
    bench.usePort1(line.slavePath());
    frmMain &w = bench.window();
    w.MSComm1.setCommPort(1);
    QVERIFY(w.MSComm1.setSettings("9600,N,8,1"));

    for (int n = 0; n < cases; ++n) {
        const QString where = caseName(seed, n);
        const QByteArray reply = randomReply(rng, cmd, overTheLine ? command.threshold : 0);
        const bool answerYes = chance(rng, 0.5);
        if (!w.MSComm1.PortOpen())
            QVERIFY2(w.MSComm1.setPortOpen(true), qPrintable(where));
        line.readAvailable();
        w.bStopped = w.bUpdateOver = w.bFailed = w.bVersionAccepted = false;
        w.bFirstErase = w.bFirstProgram = true;
        w.sReply = "left from before";
        w.ResetStatusBar();
        bench.messages.clear();
        bench.answer = answerYes ? QMessageBox::Yes : QMessageBox::No;

        QByteArray written;
        w.onPoll = [&](int poll) {
            if (poll != 1)
                return;
            if (overTheLine) {
                written = line.readAvailable(50);
                line.write(reply);
            } else {
                QByteArray received = reply;
                w.HandleInput(received);
            }
        };
        w.Send(command.packet);
        w.onPoll = nullptr;

        const Verdict v = judge(cmd, reply, answerYes);
        if (overTheLine)
            QVERIFY2(written == aStringToHex(command.packet), qPrintable(where));
        QVERIFY2(w.sReply == reply, qPrintable(where + ": stored " + w.sReply.toHex()));
        QVERIFY2(bench.messageTexts() == v.messages,
                 qPrintable(where + ": reply " + reply.toHex() + " gave " + bench.messageTexts().join(" | ")));
        QVERIFY2(w.bUpdateOver == v.ended && w.bStopped == v.ended && w.MSComm1.PortOpen() == !v.ended,
                 qPrintable(where + ": reply " + reply.toHex()));
        QVERIFY2(w.bFailed == v.failed, qPrintable(where + ": reply " + reply.toHex()));
        if (cmd == "0001")
            QVERIFY2(w.bVersionAccepted == (v.accepted && !v.ended), qPrintable(where + ": reply " + reply.toHex()));
        if (!v.panel1.isEmpty())
            QVERIFY2(w.panelText(1) == v.panel1, qPrintable(where + ": panel 1 " + w.panelText(1)));
        QVERIFY2(w.panelText(3) == v.panel3, qPrintable(where + ": panel 3 " + w.panelText(3)));
        QVERIFY2(w.panelText(4) == v.panel4, qPrintable(where + ": panel 4 " + w.panelText(4)));
    }
    m_counts << QString("replies, %1 %2: %3 cases").arg(command.name, overTheLine ? "over the line" : "handed in").arg(cases);
}

void tst_hostile::repliesShorterThanTheThresholdNeverArrive()
{
    // Each case waits out the whole time limit, so only a few.
    const quint32 seed = kSeed * 1000 + 900;
    QRandomGenerator rng(seed);
    Bench bench;
    PtyLine line;
    bench.usePort1(line.slavePath());
    frmMain &w = bench.window();
    w.MSComm1.setCommPort(1);
    const QVector<Command> all = commands();
    int n = 0;
    for (const Command &command : all) {
        if (QLatin1String(command.name) == QLatin1String("wake") || QLatin1String(command.name) == QLatin1String("program"))
            continue;
        const QString where = caseName(seed, n++);
        const QByteArray reply = randomReply(rng, commandText(command.packet), 0).left(pick(rng, 0, command.threshold - 1));
        QVERIFY2(w.MSComm1.setPortOpen(true), qPrintable(where));
        w.bStopped = w.bUpdateOver = w.bFailed = false;
        w.bFirstErase = true;
        bench.messages.clear();
        w.onPoll = [&](int poll) {
            if (poll == 1) {
                line.readAvailable(50);
                line.write(reply);
            }
        };
        w.Send(command.packet);
        w.onPoll = nullptr;
        QVERIFY2(bench.messageTexts() == QStringList{kCommError}, qPrintable(where + " " + command.name));
        QVERIFY2(w.bFailed && w.bStopped && !w.MSComm1.PortOpen(), qPrintable(where));
    }
    m_counts << QString("replies shorter than the threshold: %1 cases").arg(n);
}

void tst_hostile::anyPacketTextBecomesHalfItsLengthInBytes()
{
    const quint32 seed = kSeed * 1000 + 100;
    QRandomGenerator rng(seed);
    const int cases = 3000;
    auto digit = [](QChar c) {
        const ushort u = c.unicode();
        return u >= '0' && u <= '9' ? u - '0' : u >= 'A' && u <= 'F' ? u - 'A' + 10 : u >= 'a' && u <= 'f' ? u - 'a' + 10 : -1;
    };
    for (int n = 0; n < cases; ++n) {
        QString text = randomText(rng, 64, false);
        if (chance(rng, 0.1)) // whole packets now and then, some cut short
            text = QString::fromLatin1(firmware::ProgramPackets[rng.bounded(int(firmware::ProgramPacketCount))])
                       .left(pick(rng, 0, 60));
        const QByteArray bytes = aStringToHex(text);
        QVERIFY2(bytes.size() == text.size() / 2, qPrintable(caseName(seed, n)));
        for (int i = 0; i < bytes.size(); ++i) {
            const int hi = digit(text[2 * i]), lo = digit(text[2 * i + 1]);
            const int expected = hi < 0 ? 0 : lo < 0 ? hi : hi * 16 + lo;
            QVERIFY2(quint8(bytes[i]) == expected,
                     qPrintable(caseName(seed, n) + QString(": byte %1 of \"%2\"").arg(i).arg(text)));
        }
    }
    m_counts << QString("packet texts: %1 cases").arg(cases);
}

void tst_hostile::anythingTypedIntoThePortBoxGivesTheNumberItReadsAs_data()
{
    QTest::addColumn<bool>("keyByKey");
    QTest::newRow("typed key by key") << true;
    QTest::newRow("pasted whole") << false;
}

void tst_hostile::anythingTypedIntoThePortBoxGivesTheNumberItReadsAs()
{
    QFETCH(bool, keyByKey);
    const quint32 seed = kSeed * 1000 + (keyByKey ? 200 : 201);
    QRandomGenerator rng(seed);
    const int cases = 250;

    // A unit of another model ends a run on port 1 after one exchange.
    Bench bench;
    QVERIFY(bench.startSim({"--model", "0575"}));
    frmMain &w = bench.window();
    auto *box = w.findChild<QComboBox *>("cboComPort");
    QVERIFY(box && box->lineEdit());
    QLineEdit *edit = box->lineEdit();

    int framesSent = 0;
    for (int n = 0; n < cases; ++n) {
        const QString where = caseName(seed, n);
        QString text = randomText(rng, 6, keyByKey);
        if (chance(rng, 0.4)) // numbers, signs and points lead more often
            text.prepend(QString("-+. 0123456789")[pick(rng, 0, 13)]);
        if (keyByKey)
            text.replace('\t', ' '); // a Tab key moves the focus, it types nothing
        QVERIFY2(portNumberFromText(text) == readPortNumber(text), qPrintable(where + ": \"" + text + "\""));

        box->setCurrentIndex(0);
        w.cboComPort_Click();
        edit->selectAll();
        QString shown;
        int port = 1;
        if (keyByKey) {
            for (QChar c : text) {
                // The key lands where the line edit's cursor or selection is;
                // the reaction then sees the edited text.
                QString edited = edit->text();
                if (edit->hasSelectedText())
                    edited.replace(edit->selectionStart(), int(edit->selectedText().size()), c);
                else
                    edited.insert(edit->cursorPosition(), c);
                QTest::keyClicks(edit, QString(c));
                shown = reactToPortText(edited, port);
            }
        } else {
            edit->insert(text);
            shown = reactToPortText(text, port);
        }
        if (text.isEmpty()) {
            shown = "COM1";
            port = 1;
        }
        QVERIFY2(w.iComPort == port, qPrintable(where + QString(": \"%1\" gave port %2, not %3").arg(text).arg(w.iComPort).arg(port)));
        QVERIFY2(box->currentText() == shown, qPrintable(where + ": \"" + text + "\" shows " + box->currentText() + ", not " + shown));

        bench.messages.clear();
        QVERIFY2(bench.programAndSettle(), qPrintable(where));
        if (port == 1) {
            ++framesSent;
            QVERIFY2(bench.messageTexts() == QStringList{"Attached device is not the AXR-574."}, qPrintable(where));
        } else {
            QVERIFY2(bench.messageTexts() == QStringList{"Selected Com Port is not available."}, qPrintable(where));
        }
    }
    QVERIFY(bench.sim().dump());
    QCOMPARE(bench.sim().commands(), QStringList(framesSent, "0001"));
    m_counts << QString("port texts %1: %2 cases (%3 on port 1)").arg(keyByKey ? "typed" : "pasted").arg(cases).arg(framesSent);
}

void tst_hostile::brokenFirmwareImagesAreRefusedWithAMessage()
{
    const quint32 seed = kSeed * 1000 + 300;
    QRandomGenerator rng(seed);
    const int cases = 300;
    QFile validFile(QStringLiteral(AXR574_TESTDATA "/hex/valid.hex"));
    QVERIFY(validFile.open(QIODevice::ReadOnly));
    const QByteArray valid = validFile.readAll();
    int units = 0;
    QVERIFY(validImage(valid, units));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString in = dir.filePath("image.hex"), out = dir.filePath("tables.cpp");
    int accepted = 0;
    for (int n = 0; n < cases; ++n) {
        const QString where = caseName(seed, n);
        QByteArray image = chance(rng, 0.3) ? randomImage(rng) : valid;
        for (int k = pick(rng, chance(rng, 0.3) ? 0 : 1, 3); k > 0; --k)
            image = mutate(rng, image);
        QFile f(in);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(image);
        f.close();
        QFile stale(out);
        QVERIFY(stale.open(QIODevice::WriteOnly | QIODevice::Truncate));
        stale.write("stale");
        stale.close();

        QProcess tool;
        tool.start(QStringLiteral(AXR574_TABLEGEN), {in, out});
        QVERIFY2(tool.waitForFinished(60000) && tool.exitStatus() == QProcess::NormalExit, qPrintable(where));
        const QString err = QString::fromLocal8Bit(tool.readAllStandardError());
        const bool shouldAccept = validImage(image, units);
        const QString detail = where + ": " + err + "\n" + QString::fromLatin1(image);
        if (tool.exitCode() == 0) {
            ++accepted;
            QVERIFY2(shouldAccept, qPrintable("accepted an invalid image, " + detail));
            QVERIFY2(tool.readAllStandardOutput().contains(QByteArray::number(units) + " program packets"), qPrintable(detail));
        } else {
            QVERIFY2(tool.exitCode() == 1, qPrintable(detail));
            QVERIFY2(!shouldAccept, qPrintable("refused a valid image, " + detail));
            QVERIFY2(err.startsWith("axr574-tablegen: ") && err.trimmed().size() > 30, qPrintable(detail));
            QVERIFY2(!QFile::exists(out), qPrintable("left a table behind, " + detail));
        }
    }
    m_counts << QString("firmware images: %1 cases (%2 accepted)").arg(cases).arg(accepted);
}

void tst_hostile::aFloodingUnitLeavesTheUpdaterResponsiveToCancel_data()
{
    QTest::addColumn<bool>("fromTheStart");
    QTest::newRow("flood from the start, Cancel at a random packet") << true;
    QTest::newRow("flood from an erase packet on, Cancel at it") << false;
}

void tst_hostile::aFloodingUnitLeavesTheUpdaterResponsiveToCancel()
{
    QFETCH(bool, fromTheStart);
    const quint32 seed = kSeed * 1000 + (fromTheStart ? 400 : 401);
    QRandomGenerator rng(seed);
    const int cases = 8;
    int cancelled = 0;
    for (int n = 0; n < cases; ++n) {
        const QString where = caseName(seed, n);
        Bench bench;
        // Frame 1 is the version read; erase packets follow.
        const int cancelAt = fromTheStart ? pick(rng, 1, 12) : pick(rng, 2, 60);
        QStringList args{"--flood"};
        if (!fromTheStart)
            args = QStringList{"--flood-after", QString::number(cancelAt)};
        QVERIFY2(bench.startSim(args), qPrintable(where));
        int waits = 0;
        bench->onPoll = [&](int poll) {
            if (poll == 1 && ++waits == cancelAt)
                bench->cmdExit_Click();
        };
        QVERIFY2(bench.programAndSettle(), qPrintable(where));
        QVERIFY(bench.sim().dump());
        const QStringList texts = bench.messageTexts();
        // Unasked bytes ahead of a reply spoil it, which may end the run
        // before the Cancel comes; either way it ends at once with one
        // message and sends nothing more.
        QVERIFY2(texts.size() == 1, qPrintable(where + ": " + texts.join(" | ")));
        if (fromTheStart)
            QVERIFY2(texts.first() == kCancelled || texts.first() == kNotBootloader || texts.first() == kCommError,
                     qPrintable(where + ": " + texts.first()));
        else
            QVERIFY2(texts.first() == kCancelled, qPrintable(where + ": " + texts.first()));
        QVERIFY2(bench.sim().frames().size() == waits, qPrintable(where));
        QVERIFY2(bench.sim().violations().isEmpty(), qPrintable(where));
        QVERIFY(!bench->successDialog());
        if (texts.first() == kCancelled) {
            ++cancelled;
            QCOMPARE(waits, cancelAt);
        }
    }
    m_counts << QString("floods %1: %2 cases (%3 ended by the Cancel)")
                    .arg(fromTheStart ? "from the start" : "from an erase packet").arg(cases).arg(cancelled);
}

void tst_hostile::cleanupTestCase()
{
    for (const QString &line : std::as_const(m_counts))
        qInfo().noquote() << line;
}

QTEST_MAIN(tst_hostile)
#include "tst_hostile.moc"

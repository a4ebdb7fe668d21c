// The simulated unit, driven through a plain file descriptor on its line so
// that its answers are checked independently of the updater's own port code.
#include "link/frame.h"
#include "simclient.h"

#include <QtEndian>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QByteArray kVersionRead = QByteArray::fromHex("0F0F0001FF04");
const QByteArray kBlankCheck = QByteArray::fromHex("0F0F0A02000800EC04");
const QByteArray kVerify = QByteArray::fromHex("0F0F0A01000800ED04");
const QByteArray kWake = QByteArray::fromHex("000000000000000000000000000000000000FEFE3300424C3FFD");
const QByteArray kDefaultVersionReply = QByteArray::fromHex("0F0F0001303537343131323330300804");

QByteArray composed(const frame::Bytes &body)
{
    const frame::Bytes wire = frame::compose(body);
    return QByteArray(reinterpret_cast<const char *>(wire.data()), int(wire.size()));
}

QByteArray erasePacket(int address)
{
    return composed({0x03, 0x01, std::uint8_t(address), std::uint8_t(address >> 8), 0x00});
}

QByteArray programPacket(int address, std::uint8_t first)
{
    frame::Bytes body{0x02, 0x02, std::uint8_t(address), std::uint8_t(address >> 8), 0x00};
    for (int i = 0; i < 16; ++i)
        body.push_back(std::uint8_t(first + i));
    return composed(body);
}

quint32 resultOf(const QByteArray &reply)
{
    return qFromLittleEndian<quint32>(reply.constData() + 7);
}

// One end of the line as a serial port would hold it: raw, at a given rate.
class Line {
public:
    Line(const QString &path, speed_t speed = B9600)
        : m_fd(::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        termios tio{};
        if (m_fd >= 0 && tcgetattr(m_fd, &tio) == 0) {
            cfmakeraw(&tio);
            cfsetispeed(&tio, speed);
            cfsetospeed(&tio, speed);
            tcsetattr(m_fd, TCSANOW, &tio);
        }
    }
    ~Line() { if (m_fd >= 0) ::close(m_fd); }
    bool isOpen() const { return m_fd >= 0; }

    void send(const QByteArray &bytes) { QCOMPARE(::write(m_fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size())); }

    // Whatever arrives within ms, up to count bytes; stops early on a hang-up.
    QByteArray read(int count, int ms = 3000)
    {
        QByteArray got;
        QDeadlineTimer deadline(ms);
        while (got.size() < count && !deadline.hasExpired()) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, int(deadline.remainingTime())) <= 0)
                break;
            char buf[256];
            const ssize_t r = ::read(m_fd, buf, size_t(qMin<int>(count - got.size(), int(sizeof buf))));
            if (r <= 0) {
                m_hungUp = true;
                break;
            }
            got.append(buf, int(r));
        }
        return got;
    }

    QByteArray exchange(const QByteArray &packet, int replyLength)
    {
        send(packet);
        return read(replyLength);
    }
    bool hungUp() const { return m_hungUp; }

private:
    int m_fd;
    bool m_hungUp = false;
};

int countOf(const QVector<SimEvent> &events, const QString &ev)
{
    return int(std::count_if(events.begin(), events.end(), [&](const SimEvent &e) { return e.ev == ev; }));
}

} // namespace

class TestSim : public QObject {
    Q_OBJECT

private slots:
    void theVersionReadReportsModelAndVersion_data();
    void theVersionReadReportsModelAndVersion();
    void erasingAndProgrammingGiveTheSumsTheHostChecks();
    void aProtocolViolationIsLoggedAndNotExecuted_data();
    void aProtocolViolationIsLoggedAndNotExecuted();
    void theWakeFrameIsAnsweredOnlyAtTheUnitsRate_data();
    void theWakeFrameIsAnsweredOnlyAtTheUnitsRate();
    void aHangUpOffersANewLineWithTheSameMemory();
    void aFaultyReplyArrivesAsConfigured_data();
    void aFaultyReplyArrivesAsConfigured();
};

void TestSim::theVersionReadReportsModelAndVersion_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("a default unit reports 0574 and 1123.00") << QStringList() << kDefaultVersionReply;
    QTest::newRow("a unit without firmware reports 0xFF for the version")
        << QStringList{"--model", "0999", "--no-firmware"}
        << QByteArray::fromHex("0F0F000130393939FFFFFFFFFFFF2A04");
    QTest::newRow("the version options set the version characters")
        << QStringList{"--version", "1208", "--version-minor", "07"}
        << QByteArray::fromHex("0F0F000130353734313230383037FD04");
}

void TestSim::theVersionReadReportsModelAndVersion()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, reply);
    SimUnit sim;
    QVERIFY(sim.start(args, AXR574_SIM_PATH));
    Line line(sim.devicePath());
    QCOMPARE(line.exchange(kVersionRead, 16).toHex(), reply.toHex());
}

void TestSim::erasingAndProgrammingGiveTheSumsTheHostChecks()
{
    SimUnit sim;
    QVERIFY(sim.start({}, AXR574_SIM_PATH));
    Line line(sim.devicePath());

    // The old firmware is there until the rows are erased.
    QVERIFY(resultOf(line.exchange(kBlankCheck, 13)) != 0x3BFFC400u);
    for (int row = 0x0800; row < 0x8000; row += 64)
        QCOMPARE(line.exchange(erasePacket(row), 5).left(2), QByteArray("\x0F\x0F"));
    const QByteArray blank = line.exchange(kBlankCheck, 13);
    QCOMPARE(blank.left(7).toHex(), QByteArray("0f0f0a02000800"));
    QCOMPARE(resultOf(blank), 0x3BFFC400u);

    QCOMPARE(line.exchange(programPacket(0x0800, 0x00), 5).left(2), QByteArray("\x0F\x0F"));
    quint32 expected = 0x3BFFC400u - 8 * 0xFFFF;
    for (int i = 0; i < 16; i += 2)
        expected += quint32(i | (i + 1) << 8);
    QCOMPARE(resultOf(line.exchange(kBlankCheck, 13)), expected);
    const QByteArray verify = line.exchange(kVerify, 13);
    QCOMPARE(verify.mid(7, 2), QByteArray(2, '\0'));

    QVERIFY(sim.dump());
    const QByteArray memory = sim.memory();
    QCOMPARE(memory.size(), 0x8000);
    QVERIFY(!memory.left(0x0800).contains('\xFF'));
    QCOMPARE(memory.mid(0x0800, 16).toHex(), QByteArray::fromHex("000102030405060708090A0B0C0D0E0F").toHex());
    QCOMPARE(memory.mid(0x0810), QByteArray(0x8000 - 0x0810, '\xFF'));
    QVERIFY(sim.violations().isEmpty());
    QCOMPARE(sim.commands().count("0301"), 480);
}

void TestSim::aProtocolViolationIsLoggedAndNotExecuted_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArrayList>("packets");
    QTest::addColumn<QString>("violation");
    QTest::addColumn<int>("erasedRow");
    QTest::addColumn<QByteArray>("leading");

    QByteArray badChecksum = erasePacket(0x0800);
    badChecksum[badChecksum.size() - 2] = char(badChecksum.at(badChecksum.size() - 2) + 1);

    QTest::newRow("an erase inside the bootloader is refused")
        << QStringList() << QByteArrayList{erasePacket(0x07C0)} << "erase address out of range" << -1 << QByteArray();
    QTest::newRow("a write to memory that was not erased is refused")
        << QStringList() << QByteArrayList{programPacket(0x0800, 0x10)} << "write to unerased memory" << -1 << QByteArray();
    QTest::newRow("a frame with a bad checksum is refused")
        << QStringList() << QByteArrayList{badChecksum} << "bad frame" << -1 << QByteArray();
    QTest::newRow("an unknown command is refused")
        << QStringList() << QByteArrayList{composed({0x07, 0x01})} << "unknown command" << -1 << QByteArray();
    QTest::newRow("a frame sent while a reply is owed is refused")
        << QStringList{"--delay-ms", "300"} << QByteArrayList{erasePacket(0x0800) + erasePacket(0x0840)}
        << "frame while reply owed" << 0x0800 << QByteArray::fromHex("0F0F03FD04");
}

void TestSim::aProtocolViolationIsLoggedAndNotExecuted()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArrayList, packets);
    QFETCH(QString, violation);
    QFETCH(int, erasedRow);
    QFETCH(QByteArray, leading);

    SimUnit sim;
    QVERIFY(sim.start(args, AXR574_SIM_PATH));
    QVERIFY(sim.dump());
    QByteArray expected = sim.memory();
    if (erasedRow >= 0)
        expected.replace(erasedRow, 64, QByteArray(64, '\xFF'));

    Line line(sim.devicePath());
    for (const QByteArray &packet : packets)
        line.send(packet);
    QCOMPARE(line.read(leading.size()).toHex(), leading.toHex());
    // The verify reply comes after everything sent before it was handled,
    // and a unit that saw a violation no longer vouches for its memory.
    const QByteArray verify = line.exchange(kVerify, 13);
    QCOMPARE(verify.size(), 13);
    QVERIFY(verify.mid(7, 2) != QByteArray(2, '\0'));

    QCOMPARE(sim.violations(), QStringList{violation});
    QVERIFY(sim.dump());
    QVERIFY(sim.memory() == expected);
}

void TestSim::theWakeFrameIsAnsweredOnlyAtTheUnitsRate_data()
{
    QTest::addColumn<int>("speed");
    QTest::addColumn<bool>("acked");
    QTest::newRow("a wake frame at 4800 is not understood") << int(B4800) << false;
    QTest::newRow("a wake frame at the unit's 19200 starts the bootloader") << int(B19200) << true;
    QTest::newRow("a wake frame at 57600 is not understood") << int(B57600) << false;
}

void TestSim::theWakeFrameIsAnsweredOnlyAtTheUnitsRate()
{
    QFETCH(int, speed);
    QFETCH(bool, acked);
    SimUnit sim;
    QVERIFY(sim.start({"--mode", "normal", "--unit-baud", "19200"}, AXR574_SIM_PATH));
    Line line(sim.devicePath(), speed_t(speed));
    line.send(kWake);
    QTRY_COMPARE(sim.frames().size(), 1);
    QCOMPARE(sim.frames().first().ev, QString("wake"));
    QCOMPARE(sim.frames().first().acked, acked);
    if (acked)
        QCOMPARE(line.read(8).toHex(), kWake.right(8).toHex());

    line.send(kVersionRead);
    QTRY_COMPARE(sim.frames().size(), 2);
    if (acked)
        QCOMPARE(line.read(16).toHex(), kDefaultVersionReply.toHex());
    QTRY_COMPARE(countOf(sim.events(), "reply"), acked ? 2 : 0);
    QCOMPARE(sim.commands(), (QStringList{"0000", "0001"}));
}

void TestSim::aHangUpOffersANewLineWithTheSameMemory()
{
    SimUnit sim;
    QVERIFY(sim.start({"--hangup-at", "2"}, AXR574_SIM_PATH));
    const QString firstPath = sim.devicePath();
    {
        Line line(firstPath);
        QCOMPARE(line.exchange(erasePacket(0x0800), 5).size(), 5);
        QVERIFY(line.exchange(programPacket(0x0800, 0x20), 5).isEmpty());
        QVERIFY(line.hungUp());
    }
    QVERIFY(sim.waitForNewPath(3000));
    QVERIFY(sim.devicePath() != firstPath);

    Line line(sim.devicePath());
    QCOMPARE(line.exchange(kVersionRead, 16).toHex(), kDefaultVersionReply.toHex());
    QVERIFY(sim.dump());
    QCOMPARE(sim.memory().at(0x0800), '\x20');
    QCOMPARE(sim.frames().last().n, 3);
    QCOMPARE(countOf(sim.events(), "hangup"), 1);
}

void TestSim::aFaultyReplyArrivesAsConfigured_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("stream");
    const QByteArray reply = kDefaultVersionReply;
    QTest::newRow("an unanswered frame leaves only the second reply")
        << QStringList{"--no-reply-at", "1"} << reply;
    QTest::newRow("a reply with a wrong start keeps its length")
        << QStringList{"--bad-start-at", "1"} << QByteArray("\xF0\xF0") + reply.mid(2) + reply;
    QTest::newRow("stray bytes follow the reply")
        << QStringList{"--trailing-at", "1", "--trailing-bytes", "4"} << reply + QByteArray(4, '\x55') + reply;
    QTest::newRow("a split reply arrives whole in two pieces") << QStringList{"--split-at", "1"} << reply + reply;
}

void TestSim::aFaultyReplyArrivesAsConfigured()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, stream);
    SimUnit sim;
    QVERIFY(sim.start(args, AXR574_SIM_PATH));
    Line line(sim.devicePath());

    line.send(kVersionRead);
    QByteArray got;
    if (args.first() == "--split-at") {
        got = line.read(1);
        got += line.read(16, 5); // the rest of the first piece, if any
        QVERIFY2(got.size() < 16, "the first piece must be shorter than the reply");
    }
    // Everything for frame 1 is out once its reply or its fault is logged.
    QTRY_VERIFY(countOf(sim.events(), "reply") + countOf(sim.events(), "fault") >= (args.first() == "--no-reply-at" ? 1 : 2));
    line.send(kVersionRead);
    got += line.read(stream.size() - got.size());
    QCOMPARE(got.toHex(), stream.toHex());
}

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"

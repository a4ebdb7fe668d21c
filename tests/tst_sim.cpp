// The simulated unit driven through a plain descriptor on its line: what a
// well-behaved updater (tst_update, tst_faultmatrix) never shows.
#include "link/frame.h"
#include "simclient.h"

#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

const QByteArray kBlankCheck = QByteArray::fromHex("0F0F0A02000800EC04");
const QByteArray kVerify = QByteArray::fromHex("0F0F0A01000800ED04");

// An erase packet, or a program packet when given the first of 16 data bytes.
QByteArray packet(int address, int dataFrom = -1)
{
    frame::Bytes body {std::uint8_t(dataFrom < 0 ? 0x03 : 0x02), std::uint8_t(dataFrom < 0 ? 0x01 : 0x02),
        std::uint8_t(address), std::uint8_t(address >> 8), 0x00};
    for (int i = 0; dataFrom >= 0 && i < 16; ++i)
        body.push_back(std::uint8_t(dataFrom + i));
    const frame::Bytes wire = frame::compose(body);
    return QByteArray(reinterpret_cast<const char *>(wire.data()), qsizetype(wire.size()));
}

// One end of the line as a serial port would hold it: raw, at a given rate.
struct Line
{
    explicit Line(const QString &path)
        : fd(::open(qPrintable(path), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        termios tio {};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        cfsetspeed(&tio, B9600);
        tcsetattr(fd, TCSANOW, &tio);
    }
    ~Line() { ::close(fd); }

    // Sends the packet, then returns whatever arrives within ms, up to count bytes; stops early on a hang-up.
    QByteArray exchange(const QByteArray &packet, int count, int ms = 3000)
    {
        if (::write(fd, packet.constData(), size_t(packet.size())) != ssize_t(packet.size()))
            return "not sent";
        QByteArray got(count, '\0');
        int n = 0;
        pollfd p {fd, POLLIN, 0};
        for (QDeadlineTimer deadline(ms); n < count && !hungUp && ::poll(&p, 1, int(deadline.remainingTime())) > 0;) {
            const ssize_t r = ::read(fd, got.data() + n, size_t(count - n));
            hungUp = r <= 0;
            n += int(qMax<ssize_t>(r, 0));
        }
        return got.left(n);
    }

    const int fd;
    bool hungUp = false;
};

} // namespace

class TestSim : public QObject
{
    Q_OBJECT

private slots:
    void theBlankCheckSumsTheMemoryAndAHangUpKeepsIt()
    {
        SimUnit sim;
        // Frames: 480 erases, then the blank check, then the program packet.
        QVERIFY(sim.start({"--hangup-at", "482"}, AXR574_SIM_PATH));
        const QString firstPath = sim.devicePath();
        {
            Line line(firstPath);
            for (int row = 0x0800; row < 0x8000; row += 64)
                line.exchange(packet(row), 5);
            // Erased, the memory is 0x3C00 words of 0xFFFF.
            QCOMPARE(line.exchange(kBlankCheck, 13).toHex(), QByteArray("0f0f0a0200080000c4ff3bee04"));
            // The unit hangs up instead of answering, but keeps what it wrote.
            QVERIFY(line.exchange(packet(0x0800, 0x00), 5).isEmpty() && line.hungUp);
        }
        QVERIFY(sim.waitForNewPath(3000) && sim.devicePath() != firstPath);
        // Eight words 0x0100, 0x0302 .. 0x0F0E (together 0x4038) replace 0xFFFF: 0x3BF80440, lowest byte first.
        QCOMPARE(Line(sim.devicePath()).exchange(kBlankCheck, 13).mid(7, 4).toHex(), QByteArray("4004f83b"));
        QVERIFY(sim.dump() && sim.violations().isEmpty());
    }

    void aProtocolViolationIsLoggedAndNotExecuted_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QString>("violation");
        QTest::addColumn<QByteArray>("reply"); // what is answered before the verify reply
        QTest::newRow("an erase inside the bootloader is refused")
            << packet(0x07C0) << "erase address out of range" << QByteArray();
        QTest::newRow("a write to memory that was not erased is refused")
            << packet(0x0800, 0x10) << "write to unerased memory" << QByteArray();
        QTest::newRow("a frame with a bad checksum is refused")
            << QByteArray::fromHex("0F0F0301000800F504") << "bad frame" << QByteArray();
        QTest::newRow("a frame sent while a reply is owed is refused")
            << packet(0x0800) + packet(0x0840) << "frame while reply owed" << QByteArray::fromHex("0F0F03FD04");
    }

    void aProtocolViolationIsLoggedAndNotExecuted()
    {
        QFETCH(QByteArray, sent);
        QFETCH(QString, violation);
        QFETCH(QByteArray, reply);
        SimUnit sim;
        // Slow replies, so that a second frame surely comes while one is owed.
        QVERIFY(sim.start({"--delay-ms", "200"}, AXR574_SIM_PATH) && sim.dump());
        QByteArray expected = sim.memory();
        if (!reply.isEmpty()) // the first erase was answered, so it was executed
            expected.replace(0x0800, 64, QByteArray(64, '\xFF'));

        Line line(sim.devicePath());
        QCOMPARE(line.exchange(sent, int(reply.size())).toHex(), reply.toHex());
        // The verify reply comes after everything sent before it was handled,
        // and a unit that saw a violation no longer vouches for its memory.
        const QByteArray verify = line.exchange(kVerify, 13);
        QVERIFY(verify.size() == 13 && verify.mid(7, 2) != QByteArray(2, '\0'));
        QCOMPARE(sim.violations(), QStringList {violation});
        QVERIFY(sim.dump() && sim.memory() == expected);
    }
};

QTEST_GUILESS_MAIN(TestSim)
#include "tst_sim.moc"

// The serial link over a real pseudo-terminal: receive thresholds, raw bytes,
// settings applied to an open port and a driver whose buffer is full. Open
// failures by kind are the fault matrix's.
#include "harness.h"

#include "update/packets.h"

#include <QtTest>

#include <fcntl.h>
#include <thread>
#include <unistd.h>

class tst_link : public QObject
{
    Q_OBJECT

private slots:
    void aReplyIsReceivedOnceTheThresholdIsReached_data();
    void aReplyIsReceivedOnceTheThresholdIsReached();
    void settingsReachAnOpenLineAndMalformedOnesAreRefusedWhole_data();
    void settingsReachAnOpenLineAndMalformedOnesAreRefusedWhole();
    void aFullDriverIsWaitedForAndOnlyAStuckOneFails_data();
    void aFullDriverIsWaitedForAndOnlyAStuckOneFails();

private:
    bool openOn(Bench &bench, PtyLine &line, int threshold = 1)
    {
        bench.usePort1(line.slavePath());
        bench->MSComm1.setCommPort(1);
        bench->MSComm1.setSettings("9600,N,8,1");
        bench->MSComm1.setRThreshold(threshold);
        return bench->MSComm1.setPortOpen(true);
    }
};

void tst_link::aReplyIsReceivedOnceTheThresholdIsReached_data()
{
    QTest::addColumn<int>("threshold");
    QTest::addColumn<QByteArrayList>("pieces");  // written one after the other
    QTest::addColumn<QByteArrayList>("replies"); // as stored, one per receive event
    const QByteArray version = QByteArray::fromHex("0F0F0001303537340000FFFF30300004");
    QTest::newRow("a whole reply at the threshold, 0x00 and 0xFF kept")
        << 16 << QByteArrayList {version} << QByteArrayList {version};
    QTest::newRow("a part is stored as delivered, the rest replaces it once enough has come")
        << 5
        << QByteArrayList {QByteArray::fromHex("0F0F0A0200"), QByteArray::fromHex("0800"),
               QByteArray::fromHex("C4FF3B")}
        << QByteArrayList {QByteArray::fromHex("0F0F0A0200"), QByteArray::fromHex("0800C4FF3B")};
}

void tst_link::aReplyIsReceivedOnceTheThresholdIsReached()
{
    QFETCH(int, threshold);
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArrayList, replies);
    Bench bench;
    PtyLine line;
    QVERIFY(openOn(bench, line, threshold));
    QSignalSpy events(&bench->MSComm1, &MSComm::OnComm);
    QByteArrayList stored;
    for (const QByteArray &piece : pieces) {
        QVERIFY(line.write(piece));
        // A piece below the threshold gets a moment to show it makes no event.
        if (events.wait(piece.size() < threshold ? 100 : 2000))
            stored << bench->sReply;
    }
    QCOMPARE(stored, replies);
    QCOMPARE(events.size(), replies.size());
    QVERIFY(bench->bReplyReceived);
}

void tst_link::settingsReachAnOpenLineAndMalformedOnesAreRefusedWhole_data()
{
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("baud"); // the line's rate afterwards; 19200 where the text is refused
    QTest::newRow("a new rate") << "57600,N,8,1" << 57600;
    QTest::newRow("missing stop bits") << "9600,N,8" << 19200;
    QTest::newRow("zero rate") << "0,N,8,1" << 19200;
    QTest::newRow("unknown parity") << "9600,X,8,1" << 19200;
}

// The simulated unit logs the rate its end of the line was set to at each frame.
void tst_link::settingsReachAnOpenLineAndMalformedOnesAreRefusedWhole()
{
    QFETCH(QString, settings);
    QFETCH(int, baud);
    Bench bench;
    QVERIFY(bench.startSim());
    bench->MSComm1.setCommPort(1);
    QVERIFY(bench->MSComm1.setPortOpen(true));
    QVERIFY(bench->MSComm1.setSettings("19200,N,8,1"));
    QCOMPARE(bench->MSComm1.setSettings(settings), baud != 19200);
    QCOMPARE(bench->MSComm1.Settings(), baud == 19200 ? QStringLiteral("19200,N,8,1") : settings);
    QVERIFY(bench->MSComm1.Output(QByteArray::fromHex("0F0F0001FF04")));
    QTRY_VERIFY(bench.sim().dump() && bench.sim().frames().size() == 1);
    QCOMPARE(bench.sim().frames().first().baud, baud);
}

void tst_link::aFullDriverIsWaitedForAndOnlyAStuckOneFails_data()
{
    QTest::addColumn<bool>("farEndReads");
    QTest::newRow("a far end that reads again gets the whole packet") << true;
    QTest::newRow("a far end that never reads again fails the line") << false;
}

void tst_link::aFullDriverIsWaitedForAndOnlyAStuckOneFails()
{
    QFETCH(bool, farEndReads);
    Bench bench;
    PtyLine line;
    QVERIFY(openOn(bench, line));
    QVERIFY(bench->MSComm1.setSettings("57600,N,8,1"));

    // Fill the line until the driver takes nothing more, even after it has
    // moved what it holds on to the far end's side.
    const int fd = int(bench->MSComm1.handle());
    QVERIFY(::fcntl(fd, F_GETFL) & O_NONBLOCK);
    const QByteArray filler(512, 'f');
    qsizetype queued = 0;
    for (qsizetype round = -1; round != 0; ::usleep(20 * 1000)) {
        round = 0;
        for (qsizetype chunk = filler.size(); chunk > 0; chunk /= 2)
            for (ssize_t n; (n = ::write(fd, filler.constData(), size_t(chunk))) > 0;)
                round += n;
        queued += round;
    }
    QVERIFY(queued > 0);

    const QByteArray packet = QByteArray::fromHex(firmware::ProgramPackets[0]);
    QByteArray arrived;
    std::thread farEnd;
    if (farEndReads) {
        farEnd = std::thread([&] {
            ::usleep(100 * 1000);
            while (arrived.size() < queued + packet.size()) {
                const QByteArray more = line.readAvailable(200);
                if (more.isEmpty())
                    break;
                arrived += more;
            }
        });
    }
    const bool written = bench->MSComm1.Output(packet);
    if (farEnd.joinable())
        farEnd.join();

    QCOMPARE(written, farEndReads);
    QCOMPARE(bench->MSComm1.lineFailed(), !farEndReads);
    QCOMPARE(bench->MSComm1.PortOpen(), farEndReads);
    if (farEndReads)
        QCOMPARE(arrived, QByteArray(queued, 'f') + packet);
}

QTEST_MAIN(tst_link)
#include "tst_link.moc"

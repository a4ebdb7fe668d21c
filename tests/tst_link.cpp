// The serial link over a real pseudo-terminal: receive thresholds, raw bytes,
// open failures by kind and settings applied to an open port.
#include "harness.h"

#include <QtTest>

class tst_link : public QObject
{
    Q_OBJECT

private slots:
    void wholeReplyAtThresholdIsOneReceiveEvent();
    void partReplyIsStoredAsDeliveredAndRestWaits();
    void otherEventKindsChangeNothing();
    void openFailuresAreToldApartByKind_data();
    void openFailuresAreToldApartByKind();
    void settingsReachAnOpenLine();
    void malformedSettingsAreRefusedWhole_data();
    void malformedSettingsAreRefusedWhole();

private:
    bool openOn(Bench &bench, PtyLine &line, int threshold);
};

bool tst_link::openOn(Bench &bench, PtyLine &line, int threshold)
{
    bench.usePort1(line.slavePath());
    bench->MSComm1.setCommPort(1);
    bench->MSComm1.setSettings("9600,N,8,1");
    bench->MSComm1.setRThreshold(threshold);
    return bench->MSComm1.setPortOpen(true);
}

void tst_link::wholeReplyAtThresholdIsOneReceiveEvent()
{
    Bench bench;
    PtyLine line;
    QVERIFY(openOn(bench, line, 16));
    QSignalSpy events(&bench->MSComm1, &MSComm::OnComm);
    const QByteArray reply = QByteArray::fromHex("0F0F0001303537340000FFFF30300004");
    QVERIFY(line.write(reply));
    QTRY_VERIFY(bench->bReplyReceived);
    QCOMPARE(events.count(), 1);
    QCOMPARE(bench->sReply, reply); // 0x00 and 0xFF kept at their places
}

void tst_link::partReplyIsStoredAsDeliveredAndRestWaits()
{
    Bench bench;
    PtyLine line;
    QVERIFY(openOn(bench, line, 5));
    QSignalSpy events(&bench->MSComm1, &MSComm::OnComm);
    QVERIFY(line.write(QByteArray::fromHex("0F0F0A0200")));
    QVERIFY(events.wait(2000));
    QCOMPARE(bench->sReply, QByteArray::fromHex("0F0F0A0200"));

    bench->bReplyReceived = false;
    QVERIFY(line.write(QByteArray::fromHex("0800")));
    QVERIFY(!events.wait(100));
    QVERIFY(!bench->bReplyReceived);
    QVERIFY(line.write(QByteArray::fromHex("C4FF3B")));
    QVERIFY(events.wait(2000));
    QCOMPARE(bench->sReply, QByteArray::fromHex("0800C4FF3B")); // replaced, not joined
}

void tst_link::otherEventKindsChangeNothing()
{
    Bench bench;
    PtyLine line;
    QVERIFY(openOn(bench, line, 100)); // never reached: no receive event
    bench->sReply = "earlier";
    QVERIFY(line.write("late bytes"));
    QTest::qWait(50);
    bench->MSComm1_OnComm(); // an event of another kind
    QCOMPARE(bench->sReply, QByteArray("earlier"));
    QVERIFY(!bench->bReplyReceived);
}

void tst_link::openFailuresAreToldApartByKind_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("error");
    QTest::newRow("no device for the number") << "" << int(MSComm::ErrNoSuchPort);
    QTest::newRow("device path missing") << "/dev/axr574-no-such-device" << int(MSComm::ErrNoSuchPort);
    QTest::newRow("not a serial device") << "/dev/null" << int(MSComm::ErrOther);
}

void tst_link::openFailuresAreToldApartByKind()
{
    QFETCH(QString, device);
    QFETCH(int, error);
    MSComm port;
    MSComm::setPortResolver([device](int) { return device; });
    port.setCommPort(1);
    QVERIFY(!port.setPortOpen(true));
    QCOMPARE(port.lastError(), error);
    QVERIFY(!port.PortOpen());
    MSComm::setPortResolver(nullptr);
}

void tst_link::settingsReachAnOpenLine()
{
    Bench bench;
    PtyLine line;
    QVERIFY(openOn(bench, line, 1));
    QCOMPARE(line.baud(), 9600);
    QVERIFY(bench->MSComm1.setSettings("57600,N,8,1"));
    QCOMPARE(line.baud(), 57600);
    QVERIFY(bench->MSComm1.Output(QByteArray::fromHex("0F0F0001FF04")));
    QCOMPARE(line.readAvailable(500), QByteArray::fromHex("0F0F0001FF04"));
}

void tst_link::malformedSettingsAreRefusedWhole_data()
{
    QTest::addColumn<QString>("settings");
    QTest::newRow("missing stop bits") << "9600,N,8";
    QTest::newRow("rate not a number") << "fast,N,8,1";
    QTest::newRow("zero rate") << "0,N,8,1";
    QTest::newRow("unknown parity") << "9600,X,8,1";
    QTest::newRow("nine data bits") << "9600,N,9,1";
    QTest::newRow("three stop bits") << "9600,N,8,3";
    QTest::newRow("empty") << "";
}

void tst_link::malformedSettingsAreRefusedWhole()
{
    QFETCH(QString, settings);
    Bench bench;
    PtyLine line;
    QVERIFY(openOn(bench, line, 1));
    QVERIFY(bench->MSComm1.setSettings("19200,N,8,1"));
    QVERIFY(!bench->MSComm1.setSettings(settings));
    QCOMPARE(bench->MSComm1.Settings(), QStringLiteral("19200,N,8,1"));
    QCOMPARE(line.baud(), 19200);
}

QTEST_MAIN(tst_link)
#include "tst_link.moc"

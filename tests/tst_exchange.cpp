// One exchange at a time: what Send shows, how it judges a reply and how it
// ends an update. The test holds the far end of the line and answers exactly
// when it wants to.
#include "harness.h"

#include "link/codec.h"
#include "update/packets.h"

#include <QtTest>

namespace {

const QString kVersionRead = QLatin1String(firmware::kVersionRead);
const QString kBlankCheck = QLatin1String(firmware::kBlankCheck);
const QString kVerify = QLatin1String(firmware::kVerify);
const QString kReset = QLatin1String(firmware::kResetDefaults);
const QString kFinish = QLatin1String(firmware::kFinish);
const QString kWake = QLatin1String(firmware::kWakeFrame);
const QString kFirstErase = QLatin1String(firmware::ErasePackets[0]);
const QByteArray kAck = QByteArray::fromHex("FEFE3300424C3FFD");

QByteArray versionReply(const char *model, const char *version)
{
    return QByteArray::fromHex("0F0F0001") + model + version + "00" + QByteArray::fromHex("0004");
}

} // namespace

class tst_exchange : public QObject
{
    Q_OBJECT

private slots:
    void sendWhileStoppedDoesNothing();
    void replyInPollLimitCountsOnlyUpToThe1000thPoll_data();
    void replyInPollLimitCountsOnlyUpToThe1000thPoll();
    void versionReplyIsJudgedByModelAndVersion_data();
    void versionReplyIsJudgedByModelAndVersion();
    void failedChecksShowTheirResult_data();
    void failedChecksShowTheirResult();
    void cancelDuringAWaitEndsItWithoutFailure();
    void finishPacketLeavesBeforeThePortCloses();
    void progressTextsAtFirstAndLastPackets();
    void wakeScanStopsAtTheAcknowledgement_data();
    void wakeScanStopsAtTheAcknowledgement();
    void wakeScanReportsOnlyWhatHappenedInIt_data();
    void wakeScanReportsOnlyWhatHappenedInIt();

private:
    // A window in the middle of a run, its port open on the test's line.
    void startRun(Bench &bench, PtyLine &line);
    // Sends one packet and answers it with `reply` at poll `atPoll`.
    void exchange(Bench &bench, const QString &packet, const QByteArray &reply, int atPoll = 1);
};

void tst_exchange::startRun(Bench &bench, PtyLine &line)
{
    bench.usePort1(line.slavePath());
    bench->MSComm1.setCommPort(1);
    bench->MSComm1.setSettings("9600,N,8,1");
    QVERIFY(bench->MSComm1.setPortOpen(true));
    bench->bStopped = false;
    bench->bFirstErase = bench->bFirstProgram = true;
    bench->bUpdateOver = bench->bFailed = bench->bVersionAccepted = false;
}

void tst_exchange::exchange(Bench &bench, const QString &packet, const QByteArray &reply, int atPoll)
{
    frmMain &w = bench.window();
    w.onPoll = [&w, reply, atPoll](int poll) {
        if (poll == atPoll) {
            QByteArray received = reply;
            w.HandleInput(received);
        }
    };
    w.Send(packet);
    w.onPoll = nullptr;
}

void tst_exchange::sendWhileStoppedDoesNothing()
{
    Bench bench;
    PtyLine line;
    startRun(bench, line);
    bench->bStopped = true;
    bench->setPanelText(1, "unchanged");
    bench->Send(kFirstErase);
    QCOMPARE(bench->panelText(1), QStringLiteral("unchanged"));
    QVERIFY(bench->sCommand.isEmpty());
    QVERIFY(line.readAvailable(20).isEmpty());
}

void tst_exchange::replyInPollLimitCountsOnlyUpToThe1000thPoll_data()
{
    QTest::addColumn<int>("poll");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("1000th poll") << 1000 << true;
    QTest::newRow("1001st poll") << 1001 << false;
}

void tst_exchange::replyInPollLimitCountsOnlyUpToThe1000thPoll()
{
    QFETCH(int, poll);
    QFETCH(bool, accepted);
    Bench bench;
    PtyLine line;
    startRun(bench, line);
    exchange(bench, kReset, QByteArray::fromHex("0F0F0BF504"), poll);
    QCOMPARE(bench.messages.isEmpty(), accepted);
    if (!accepted) {
        QCOMPARE(bench.messageTexts(), QStringList {"Error communicating with Port."});
        QVERIFY(bench->bFailed && bench->bUpdateOver && bench->bStopped);
        QVERIFY(!bench->MSComm1.PortOpen());
        QCOMPARE(bench->progressValue(), 0.0f);
    }
}

void tst_exchange::versionReplyIsJudgedByModelAndVersion_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QString>("panel4");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("older version goes ahead") << versionReply("0574", "1123") << QStringList {} << "1123.00" << true;
    QTest::newRow("same version is asked about")
        << versionReply("0574", "1208") << QStringList {"Would you like to replace version 1208 with 1208?"}
        << "1208.00" << false;
    QTest::newRow("newer version is asked about")
        << versionReply("0574", "2001") << QStringList {"Would you like to replace version 2001 with 1208?"}
        << "2001.00" << false;
    QTest::newRow("letters compare without case")
        << versionReply("0574", "12a0") << QStringList {"Would you like to replace version 12a0 with 1208?"}
        << "12a0.00" << false;
    QTest::newRow("no firmware goes ahead")
        << QByteArray::fromHex("0F0F000130353734FFFFFFFFFFFF0004") << QStringList {} << "0000.00" << true;
    QTest::newRow("wrong model") << versionReply("0575", "1123") << QStringList {"Attached device is not the AXR-574."}
                                 << "1123.00" << false;
    QTest::newRow("reply too short for a model")
        << QByteArray::fromHex("0F0F0001") << QStringList {"Attached device is not the AXR-574."} << "." << false;
}

void tst_exchange::versionReplyIsJudgedByModelAndVersion()
{
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, texts);
    QFETCH(QString, panel4);
    QFETCH(bool, accepted);
    Bench bench;
    PtyLine line;
    startRun(bench, line);
    bench.answer = QMessageBox::No;
    exchange(bench, kVersionRead, reply);
    QCOMPARE(bench.messageTexts(), texts);
    QCOMPARE(bench->panelText(4), panel4);
    QCOMPARE(bench->bVersionAccepted, accepted);
    QCOMPARE(bench->bUpdateOver, !accepted);
    QCOMPARE(bench->bStopped, !accepted);
    QVERIFY(!bench->bFailed);
    if (!texts.isEmpty() && texts.first().startsWith("Would")) {
        QCOMPARE(bench.messages.first().kind, frmMain::MsgKind::Question);
        QCOMPARE(bench.messages.first().title, QStringLiteral("Confirm Firmware Replace"));
    }
}

void tst_exchange::failedChecksShowTheirResult_data()
{
    QTest::addColumn<QString>("packet");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("panel1");
    QTest::addColumn<QString>("panel3");
    QTest::newRow("blank unit") << kBlankCheck << QByteArray::fromHex("0F0F0A0200080000C4FF3B0004") << ""
                                << "Blank Checking ..."
                                << "";
    QTest::newRow("unit not blank") << kBlankCheck << QByteArray::fromHex("0F0F0A0200080001C4FF3B0004")
                                    << "Blank Check Error"
                                    << "Blank Check Failed"
                                    << "3B-FF-C4-01";
    QTest::newRow("verify passed") << kVerify << QByteArray::fromHex("0F0F0A0100080000001234ED04") << ""
                                   << "Verifying ..."
                                   << "";
    QTest::newRow("verify failed") << kVerify << QByteArray::fromHex("0F0F0A0100080000013B00ED04")
                                   << "Verify Checksum Error"
                                   << "Verify Failed"
                                   << "00-3B-01-00";
    QTest::newRow("result cut short") << kVerify << QByteArray::fromHex("0F0F0A0100080001C4") << "Verify Checksum Error"
                                      << "Verify Failed"
                                      << "\?\?-\?\?-C4-01";
}

void tst_exchange::failedChecksShowTheirResult()
{
    QFETCH(QString, packet);
    QFETCH(QByteArray, reply);
    QFETCH(QString, text);
    QFETCH(QString, panel1);
    QFETCH(QString, panel3);
    Bench bench;
    PtyLine line;
    startRun(bench, line);
    exchange(bench, packet, reply);
    QCOMPARE(bench.messageTexts(), text.isEmpty() ? QStringList {} : QStringList {text});
    QCOMPARE(bench->panelText(1), panel1);
    QCOMPARE(bench->panelText(3), panel3);
    QCOMPARE(bench->bFailed, !text.isEmpty());
    if (!text.isEmpty()) {
        QCOMPARE(bench.messages.first().kind, frmMain::MsgKind::Error);
        QVERIFY(!bench->MSComm1.PortOpen());
        QCOMPARE(bench->exitCaption(), QStringLiteral("Exit (ESC)"));
    }
}

void tst_exchange::cancelDuringAWaitEndsItWithoutFailure()
{
    Bench bench;
    PtyLine line;
    startRun(bench, line);
    bench->setExitCaption("Cancel (ESC)");
    bench->sReply = versionReply("0999", "9999"); // a stale reply must not be judged
    int lastPoll = 0;
    bench->onPoll = [&](int poll) {
        lastPoll = poll;
        if (poll == 5)
            bench->cmdExit_Click();
    };
    bench->Send(kVersionRead);
    QCOMPARE(lastPoll, 5); // the Cancel ends the wait, it does not run out
    QCOMPARE(bench.messageTexts(), QStringList {"Firmware update was cancelled."});
    QVERIFY(bench->panelText(4).isEmpty());
    QVERIFY(bench->bStopped && !bench->bFailed);
    QVERIFY(!bench->MSComm1.PortOpen());
}

void tst_exchange::finishPacketLeavesBeforeThePortCloses()
{
    Bench bench;
    PtyLine line;
    startRun(bench, line);
    bench->Send(kFinish);
    QVERIFY(!bench->MSComm1.PortOpen());
    QCOMPARE(line.readAvailable(500), aStringToHex(kFinish));
    QCOMPARE(bench->panelText(1), QStringLiteral("Update Finished"));
    QVERIFY(bench->bUpdateOver && bench->bStopped && !bench->bFailed && !bench->bVersionAccepted);
    QVERIFY(bench.messages.isEmpty());
}

void tst_exchange::progressTextsAtFirstAndLastPackets()
{
    Bench bench;
    QVERIFY(bench.startSim({"--blank"}));
    bench->MSComm1.setCommPort(1);
    QVERIFY(bench->MSComm1.setPortOpen(true));
    bench->bStopped = false;
    bench->bFirstErase = bench->bFirstProgram = true;

    QStringList texts;
    bench->onPoll = [&](int poll) {
        const int value = int(bench->progressValue());
        const int last = bench->progressMax() == 480 ? 480 : int(firmware::ProgramPacketCount);
        if (poll == 1 && (value == 1 || value == last))
            texts << bench->panelText(1);
    };
    bench->EraseDevice();
    bench->ProgramDevice();
    QCOMPARE(
        texts, (QStringList {"Erasing ...  0%", "Erasing ...  100%", "Programming ...  0%", "Programming ...  80%"}));
    QCOMPARE(bench->panelText(1), QStringLiteral("Programming ...  100%"));
    QCOMPARE(bench->progressValue(), 1920.0f);
    QCOMPARE(bench->progressMax(), 1920.0f);
}

void tst_exchange::wakeScanStopsAtTheAcknowledgement_data()
{
    QTest::addColumn<int>("answerAt");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QString>("panel1");
    QTest::newRow("acknowledged at 4800") << 1 << kAck << 1 << "Bootloader Ready ...";
    QTest::newRow("twelve-byte chunk ending in the acknowledgement")
        << 2 << (QByteArray::fromHex("00112233") + kAck) << 2 << "Bootloader Ready ...";
    QTest::newRow("acknowledgement followed by noise") << 1 << (kAck + "x") << 5 << "Starting Bootloader .....";
    QTest::newRow("never acknowledged") << 0 << QByteArray() << 5 << "Starting Bootloader .....";
}

void tst_exchange::wakeScanStopsAtTheAcknowledgement()
{
    QFETCH(int, answerAt);
    QFETCH(QByteArray, answer);
    QFETCH(int, frames);
    QFETCH(QString, panel1);
    Bench bench;
    PtyLine line;
    startRun(bench, line);

    int sent = 0;
    QStringList panelBeforeEach;
    bench->onPoll = [&](int poll) {
        if (poll != 1)
            return;
        ++sent;
        panelBeforeEach << bench->panelText(1);
        if (sent == answerAt)
            line.write(answer);
        else if (answerAt == 0 || sent != answerAt)
            bench->bReplyReceived = true; // spare the test a second of waiting per attempt
    };
    bench->StartBootloader();
    const QByteArray wire = line.readAvailable(200);
    QCOMPARE(wire.count(aStringToHex(kWake)), frames);
    QCOMPARE(sent, frames);
    QCOMPARE(bench->panelText(1), panel1);
    QCOMPARE(panelBeforeEach.last(), QString("Starting Bootloader ") + QString(frames, '.'));
    QCOMPARE(bench->message().isEmpty(), panel1 == "Bootloader Ready ...");
    QVERIFY(bench.messages.isEmpty());
}

void tst_exchange::wakeScanReportsOnlyWhatHappenedInIt_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QString>("panel1");
    QTest::addColumn<QString>("message");
    const QString waiting = QStringLiteral("Please wait.  Attempting to start bootloader.");
    QTest::newRow("a run already stopped scans nothing") << "stopped" << 0 << "For Help press F1"
                                                         << "";
    QTest::newRow("an acknowledgement left from an earlier run does not count")
        << "stale" << 5 << "Starting Bootloader ....." << waiting;
    QTest::newRow("a Cancel in the scan adds no dots to the reset status")
        << "cancel" << 2 << "For Help press F1" << waiting;
}

void tst_exchange::wakeScanReportsOnlyWhatHappenedInIt()
{
    QFETCH(QString, situation);
    QFETCH(int, frames);
    QFETCH(QString, panel1);
    QFETCH(QString, message);
    Bench bench;
    PtyLine line;
    startRun(bench, line);
    bench->ResetStatusBar();
    bench->sReply = QByteArray::fromHex("0102") + kAck;
    if (situation == "stopped")
        bench->bStopped = true;

    int sent = 0;
    bench->onPoll = [&](int poll) {
        if (poll != 1)
            return;
        ++sent;
        if (situation == "cancel" && sent == 2)
            bench->cmdExit_Click();
        else
            bench->bReplyReceived = true; // no answer, without a second of waiting
    };
    bench->StartBootloader();
    QCOMPARE(line.readAvailable(200).count(aStringToHex(kWake)), frames);
    QCOMPARE(bench->panelText(1), panel1);
    QCOMPARE(bench->message(), message);
}

QTEST_MAIN(tst_exchange)
#include "tst_exchange.moc"

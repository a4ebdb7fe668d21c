// Whole updates from Program to finish, through the real serial code, against
// the simulated unit on a pseudo-terminal.
#include "harness.h"

#include "update/packets.h"

#include <QCheckBox>
#include <QtTest>

namespace {

const int kBlankCheck = 1 + int(firmware::ErasePacketCount) + 1;
const int kVerify = kBlankCheck + int(firmware::ProgramPacketCount) + 1;

} // namespace

class tst_update : public QObject
{
    Q_OBJECT

private slots:
    void fullUpdateLeavesUnitHoldingTheImage_data();
    void fullUpdateLeavesUnitHoldingTheImage();
    void remoteProgramWakesTheUnitAtItsRate_data();
    void remoteProgramWakesTheUnitAtItsRate();
    void unitNotToBeUpdatedIsLeftUntouched_data();
    void unitNotToBeUpdatedIsLeftUntouched();
    void faultsEndTheRunWithNothingSentAfter_data();
    void faultsEndTheRunWithNothingSentAfter();
    void missingPortIsReportedByTheProbe_data();
    void missingPortIsReportedByTheProbe();
    void programUnloadsTheCompletionDialogOfTheLastRun();
};

void tst_update::fullUpdateLeavesUnitHoldingTheImage_data()
{
    QTest::addColumn<QString>("rate");
    QTest::newRow("9600") << "9600";
    QTest::newRow("57600") << "57600";
}

void tst_update::fullUpdateLeavesUnitHoldingTheImage()
{
    QFETCH(QString, rate);
    Bench bench;
    QVERIFY(bench.startSim());
    QVERIFY(bench.sim().dump());
    const QByteArray before = bench.sim().memory();
    bench->sBaudrate = rate;

    QVERIFY(bench.programAndSettle());

    QVERIFY2(bench.messages.isEmpty(), qPrintable(bench.messageTexts().join(" | ")));
    QCOMPARE(bench->panelText(1), QStringLiteral("Update Finished"));
    QCOMPARE(bench->panelText(2), QStringLiteral("EBPV"));
    QCOMPARE(bench->panelText(4), QStringLiteral("1123.00"));
    QCOMPARE(bench->progressValue(), bench->progressMax());
    QVERIFY(bench->bSuccess);
    QVERIFY(bench->successDialog() && bench->successDialog()->isVisible());

    QVERIFY(bench.sim().dump());
    QCOMPARE(bench.sim().commands(), fullRunCommands());
    QVERIFY2(bench.sim().violations().isEmpty(), qPrintable(bench.sim().violations().join(" | ")));
    // The finish packet is left out: the port closes right after writing it,
    // and the unit may read the line's rate only after that.
    for (const SimEvent &e : bench.sim().frames()) {
        if (e.cmd != "0801")
            QVERIFY2(e.baud == rate.toInt(), qPrintable(QString("frame %1 %2 at %3").arg(e.n).arg(e.cmd).arg(e.baud)));
    }
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
    bench.window().findChild<QCheckBox *>("chkRemote")->setChecked(true);
    bench->sBaudrate = "19200";

    QVERIFY(bench.programAndSettle());
    QVERIFY2(bench.messages.isEmpty(), qPrintable(bench.messageTexts().join(" | ")));
    QCOMPARE(bench->panelText(2), QStringLiteral("EBPV"));

    QVERIFY(bench.sim().dump());
    const QVector<SimEvent> frames = bench.sim().frames();
    const int rates[] = {4800, 9600, 19200, 38400, 57600};
    for (int i = 0; i < wakeFrames; ++i) {
        QCOMPARE(frames[i].cmd, QStringLiteral("0000"));
        QCOMPARE(frames[i].baud, rates[i]);
    }
    QCOMPARE(frames[wakeFrames].cmd, QStringLiteral("0001"));
    QCOMPARE(frames[wakeFrames].baud, 19200);
    QCOMPARE(frames.size(), wakeFrames + fullRunCommands().size());
}

void tst_update::unitNotToBeUpdatedIsLeftUntouched_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QString>("version");
    QTest::newRow("same version, answer No")
        << QStringList {"--version", "1208"} << QStringList {"Would you like to replace version 1208 with 1208?"}
        << "1208.00";
    QTest::newRow("newer version, answer No")
        << QStringList {"--version", "1301"} << QStringList {"Would you like to replace version 1301 with 1208?"}
        << "1301.00";
    QTest::newRow("wrong model") << QStringList {"--model", "0575"}
                                 << QStringList {"Attached device is not the AXR-574."} << "1123.00";
}

void tst_update::unitNotToBeUpdatedIsLeftUntouched()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, texts);
    QFETCH(QString, version);
    Bench bench;
    QVERIFY(bench.startSim(args));
    bench.answer = QMessageBox::No;

    QVERIFY(bench.programAndSettle());
    QCOMPARE(bench.messageTexts(), texts);
    if (texts.first().startsWith("Would"))
        QCOMPARE(bench.messages.first().title, QStringLiteral("Confirm Firmware Replace"));
    else
        QCOMPARE(bench.messages.first().title, QStringLiteral("AXR-574 Firmware v1208"));
    QCOMPARE(bench->panelText(1), QStringLiteral("For Help press F1"));
    QCOMPARE(bench->panelText(4), version);
    QVERIFY(!bench->bFailed);
    QVERIFY(!bench->successDialog());
    QVERIFY(bench.sim().dump());
    QCOMPARE(bench.sim().commands(), QStringList {"0001"});
}

void tst_update::faultsEndTheRunWithNothingSentAfter_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("lastFrame");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("panel1");
    QTest::addColumn<QString>("panel2");
    QTest::addColumn<QString>("panel3");

    QTest::newRow("blank check fails") << QStringList {"--blank-fail"} << kBlankCheck << "Blank Check Error"
                                       << "Blank Check Failed"
                                       << "EB"
                                       << "3B-FF-C4-01";
    QTest::newRow("verify fails") << QStringList {"--verify-fail"} << kVerify << "Verify Checksum Error"
                                  << "Verify Failed"
                                  << "EBPV"
                                  << "3B-FF-C4-01";
    // Missing, garbled and cut-off replies at every phase: tst_faultmatrix.
}

void tst_update::faultsEndTheRunWithNothingSentAfter()
{
    QFETCH(QStringList, args);
    QFETCH(int, lastFrame);
    QFETCH(QString, text);
    QFETCH(QString, panel1);
    QFETCH(QString, panel2);
    QFETCH(QString, panel3);
    Bench bench;
    QVERIFY(bench.startSim(args));

    QVERIFY(bench.programAndSettle());
    QCOMPARE(bench.messageTexts(), QStringList {text});
    QCOMPARE(bench->panelText(1), panel1);
    QCOMPARE(bench->panelText(2), panel2);
    QCOMPARE(bench->panelText(3), panel3);
    QVERIFY(bench->bFailed);
    QVERIFY(!bench->successDialog());
    QVERIFY(bench.sim().dump());
    QCOMPARE(bench.sim().frames().size(), lastFrame);
    QVERIFY(bench.sim().violations().isEmpty());
}

void tst_update::missingPortIsReportedByTheProbe_data()
{
    QTest::addColumn<int>("port");
    QTest::newRow("no such device") << 2;
    QTest::newRow("negative port number") << -5;
    QTest::newRow("largest port number") << 32767;
}

void tst_update::missingPortIsReportedByTheProbe()
{
    QFETCH(int, port);
    Bench bench;
    QVERIFY(bench.startSim());
    MSComm::setPortResolver([](int p) { return p == 2 ? QStringLiteral("/dev/does-not-exist-574") : QString(); });
    bench->iComPort = qint16(port);
    QVERIFY(bench.programAndSettle());
    QCOMPARE(bench.messageTexts(), QStringList {"Selected Com Port is not available."});
    QCOMPARE(bench->panelText(1), QStringLiteral("For Help press F1"));
    QVERIFY(bench.sim().dump());
    QVERIFY(bench.sim().frames().isEmpty());
}

void tst_update::programUnloadsTheCompletionDialogOfTheLastRun()
{
    Bench bench;
    QVERIFY(bench.startSim());
    QVERIFY(bench.programAndSettle());
    QPointer<frmSuccess> first = bench->successDialog();
    QVERIFY(first && bench->bSuccess);
    const qint64 iconKey = first->windowIcon().cacheKey();

    // The unit left its bootloader with the finish packet: wake it remotely.
    bench.window().findChild<QCheckBox *>("chkRemote")->setChecked(true);
    bool dialogGoneAtFirstPacket = false;
    bench->onPoll = [&](int) {
        if (bench->sCommand == "0000" && !dialogGoneAtFirstPacket)
            dialogGoneAtFirstPacket = !bench->bSuccess && (!first || !first->isVisible());
    };
    QVERIFY(bench.programAndSettle());
    QVERIFY(dialogGoneAtFirstPacket);
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

// The completion dialog and the three information windows, driven without a
// human: the countdown is stepped by calling its timer procedure directly.
#include "ui/frmAbout.h"
#include "ui/frmHistory.h"
#include "ui/frmInstructions.h"
#include "ui/frmMain.h"
#include "ui/frmSuccess.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

static const QString kCrLf = QStringLiteral("\r\n");

class TestWindows : public QObject
{
    Q_OBJECT

private slots:
    // Completion dialog
    void theSuccessDialogCountsDownFromTenAndClosesItselfAtZero();
    void closingTheDialogAnyWayStopsTheTimerAndClearsTheFlag_data();
    void closingTheDialogAnyWayStopsTheTimerAndClearsTheFlag();
    void aSecondDialogCountsFromTenAgainAndKeepsTheFlag();
    void theRunningTimerDrivesTheCountdown();
    void theDialogOutlivingTheMainWindowClosesSafely();
    void theLogoAndIconLoadFromTheResources();

    // Both kinds of window
    void theWindowsHaveTheirDesignedSizes_data();
    void theWindowsHaveTheirDesignedSizes();
    void theFixedLabelsShowTheirWholeText();

    // Information windows
    void theInstructionsReadAsSeventeenExactLines();
    void theHistoryRunsFromItsHeadingToTheFirstRelease();
    void theAboutBoxNamesTheVersionAndOkClosesIt();
    void theInstructionsOpenLeftOfTheMainWindowWhereverItIs();
};

void TestWindows::theSuccessDialogCountsDownFromTenAndClosesItselfAtZero()
{
    frmMain main;
    QPointer<frmSuccess> dlg = new frmSuccess(main);
    QVERIFY(main.bSuccess);
    QVERIFY(!dlg->parent());
    QCOMPARE(dlg->windowTitle(), QStringLiteral("AXR-574 Firmware Updated"));
    QCOMPARE(dlg->findChild<QLabel *>(QStringLiteral("lblMessage"))->text(),
             QStringLiteral("Update was successfully finished."));
    QCOMPARE(dlg->okCaption(), QStringLiteral("OK [10 sec.]"));
    QVERIFY(dlg->timerActive());
    dlg->show();

    for (int left = 9; left >= 1; --left) {
        dlg->tmrCountDown_Timer();
        QCOMPARE(dlg->secondsLeft(), left);
        QCOMPARE(dlg->okCaption(), QStringLiteral("OK [%1 sec.]").arg(left));
        QVERIFY(dlg->isVisible());
    }
    QVERIFY(main.bSuccess);

    dlg->tmrCountDown_Timer();
    QCOMPARE(dlg->okCaption(), QStringLiteral("OK [0 sec.]"));
    QVERIFY(!dlg->isVisible());
    QVERIFY(!dlg->timerActive());
    QVERIFY(!main.bSuccess);

    // A tick that was already queued when the dialog closed changes nothing.
    dlg->tmrCountDown_Timer();
    QCOMPARE(dlg->okCaption(), QStringLiteral("OK [0 sec.]"));
    QTRY_VERIFY(dlg.isNull());
}

void TestWindows::closingTheDialogAnyWayStopsTheTimerAndClearsTheFlag_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("OK clicked") << "ok";
    QTest::newRow("close box") << "close";
    QTest::newRow("Escape") << "escape";
    QTest::newRow("closed by the main window before it showed") << "hidden";
}

void TestWindows::closingTheDialogAnyWayStopsTheTimerAndClearsTheFlag()
{
    QFETCH(QString, how);
    frmMain main;
    QPointer<frmSuccess> dlg = new frmSuccess(main);
    if (how != QLatin1String("hidden")) {
        dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(dlg));
        dlg->tmrCountDown_Timer();
    }

    if (how == QLatin1String("ok"))
        QTest::mouseClick(dlg->findChild<QPushButton *>(QStringLiteral("OKButton")), Qt::LeftButton);
    else if (how == QLatin1String("escape"))
        QTest::keyClick(dlg, Qt::Key_Escape);
    else
        dlg->close();

    QVERIFY(!main.bSuccess);
    QVERIFY(!dlg->isVisible());
    QVERIFY(!dlg->timerActive());
    QTRY_VERIFY(dlg.isNull());
}

void TestWindows::aSecondDialogCountsFromTenAgainAndKeepsTheFlag()
{
    frmMain main;
    QPointer<frmSuccess> first = new frmSuccess(main);
    first->show();
    for (int i = 0; i < 4; ++i)
        first->tmrCountDown_Timer();
    first->OKButton_Click();

    // The first dialog is only deleted after the second has loaded.
    auto *second = new frmSuccess(main);
    QCOMPARE(second->okCaption(), QStringLiteral("OK [10 sec.]"));
    QTRY_VERIFY(first.isNull());
    QVERIFY(main.bSuccess);
    delete second;
}

void TestWindows::theRunningTimerDrivesTheCountdown()
{
    frmMain main;
    auto *dlg = new frmSuccess(main);
    auto *timer = dlg->findChild<QTimer *>(QStringLiteral("tmrCountDown"));
    QVERIFY(timer);
    QCOMPARE(timer->interval(), 1000);

    QSignalSpy ticks(timer, &QTimer::timeout);
    QVERIFY(ticks.wait(5000));
    QCOMPARE(dlg->secondsLeft(), 10 - ticks.count());
    delete dlg;
}

void TestWindows::theDialogOutlivingTheMainWindowClosesSafely()
{
    auto main = std::make_unique<frmMain>();
    QPointer<frmSuccess> dlg = new frmSuccess(*main);
    main.reset();
    dlg->OKButton_Click();
    QTRY_VERIFY(dlg.isNull());
}

void TestWindows::theLogoAndIconLoadFromTheResources()
{
    frmMain main;
    std::unique_ptr<frmSuccess> dlg(new frmSuccess(main));
    QCOMPARE(dlg->findChild<QLabel *>(QStringLiteral("picAxeronLogo"))->pixmap().size(), QSize(71, 36));
    QCOMPARE(QImage(QStringLiteral(":/icons/axr574.png")).size(), QSize(64, 64));
    QVERIFY(QFile::exists(QStringLiteral(":/icons/axr574.svg")));
}

void TestWindows::theWindowsHaveTheirDesignedSizes_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<QSize>("client");
    QTest::addColumn<QString>("control");
    QTest::addColumn<QRect>("geometry");

    QTest::newRow("success logo") << "frmSuccess" << QSize(273, 112) << "picAxeronLogo" << QRect(16, 16, 75, 40);
    QTest::newRow("success message") << "frmSuccess" << QSize(273, 112) << "lblMessage" << QRect(96, 29, 169, 17);
    QTest::newRow("success OK") << "frmSuccess" << QSize(273, 112) << "OKButton" << QRect(88, 72, 97, 25);
    QTest::newRow("instructions text") << "frmInstructions" << QSize(273, 231) << "txtText1" << QRect(0, 0, 273, 233);
    QTest::newRow("history text") << "frmHistory" << QSize(525, 206) << "txtText1" << QRect(0, 0, 527, 209);
    QTest::newRow("about message") << "frmAbout" << QSize(273, 112) << "lblMessage" << QRect(24, 10, 153, 97);
    QTest::newRow("about OK") << "frmAbout" << QSize(273, 112) << "OKButton" << QRect(200, 8, 65, 25);
}

void TestWindows::theWindowsHaveTheirDesignedSizes()
{
    QFETCH(QString, window);
    QFETCH(QSize, client);
    QFETCH(QString, control);
    QFETCH(QRect, geometry);

    frmMain main;
    std::unique_ptr<QWidget> w;
    if (window == QLatin1String("frmSuccess"))
        w.reset(new frmSuccess(main));
    else if (window == QLatin1String("frmInstructions"))
        w.reset(new frmInstructions(main));
    else if (window == QLatin1String("frmHistory"))
        w.reset(new frmHistory(main));
    else
        w.reset(new frmAbout(main));
    w->show();

    QVERIFY(!w->parent());
    QVERIFY(w->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(w->size(), client);
    QCOMPARE(w->findChild<QWidget *>(control)->geometry(), geometry);
}

void TestWindows::theFixedLabelsShowTheirWholeText()
{
    frmMain main;
    frmSuccess success(main);
    frmAbout about(main);
    for (QWidget *w : {static_cast<QWidget *>(&success), static_cast<QWidget *>(&about)}) {
        const auto *label = w->findChild<QLabel *>(QStringLiteral("lblMessage"));
        const QSize needed = QFontMetrics(label->font())
                                 .boundingRect(QRect(0, 0, 4096, 4096), int(label->alignment()), label->text())
                                 .size();
        QVERIFY2(needed.width() <= label->contentsRect().width()
                     && needed.height() <= label->contentsRect().height(),
                 qPrintable(w->objectName()));
    }
}

void TestWindows::theInstructionsReadAsSeventeenExactLines()
{
    frmMain main;
    std::unique_ptr<frmInstructions> w(new frmInstructions(main));
    QCOMPARE(w->windowTitle(), QStringLiteral("AXR-574 Firmware Instructions"));

    const QStringList lines = w->text().split(kCrLf);
    QCOMPARE(lines.size(), 17);
    QCOMPARE(lines.at(0), QStringLiteral("How to use:"));
    QCOMPARE(lines.at(6), QStringLiteral("      while turning on the power.  \"BOOTLOADER"));
    QCOMPARE(lines.at(9), QStringLiteral("      or enter higher port number if required."));
    QCOMPARE(lines.at(16), QStringLiteral("10. Note the AXR-574 is reset to its factory defaults."));

    // The window shows that text, whatever the editor makes of CR LF.
    auto *edit = w->findChild<QPlainTextEdit *>(QStringLiteral("txtText1"));
    QCOMPARE(edit->toPlainText().remove(QLatin1Char('\r')).split(QLatin1Char('\n')), lines);
    QVERIFY(edit->isReadOnly());
    QCOMPARE(edit->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
}

void TestWindows::theHistoryRunsFromItsHeadingToTheFirstRelease()
{
    frmMain main;
    std::unique_ptr<frmHistory> w(new frmHistory(main));
    QCOMPARE(w->windowTitle(), QStringLiteral("AXR-574 Firmware Version History"));
    QVERIFY(w->text().startsWith(QStringLiteral("Firmware Version History:\r\n\r\n1208 (02/23/2012)\r\n")));
    QVERIFY(w->text().endsWith(QStringLiteral("\r\n\r\n0719 (05/14/2007)\r\n- First release.")));
    QCOMPARE(w->text().split(kCrLf).size(), 21);
    QCOMPARE(w->findChild<QPlainTextEdit *>(QStringLiteral("txtText1"))->verticalScrollBarPolicy(),
             Qt::ScrollBarAlwaysOn);
}

void TestWindows::theAboutBoxNamesTheVersionAndOkClosesIt()
{
    frmMain main;
    QPointer<frmAbout> about = new frmAbout(main);
    QCOMPARE(about->windowTitle(), QStringLiteral("About AXR-574 Firmware v1208"));

    const QStringList lines = about->text().split(kCrLf);
    QCOMPARE(lines.size(), 7);
    QCOMPARE(lines.at(0), QStringLiteral("AXR-574 Firmware Version 1208"));
    QVERIFY(lines.at(1).isEmpty() && lines.at(5).isEmpty());
    QVERIFY(lines.at(6).endsWith(QStringLiteral(" 12")));
    QCOMPARE(about->findChild<QLabel *>(QStringLiteral("lblMessage"))->text(), about->text());

    about->show();
    QVERIFY(QTest::qWaitForWindowExposed(about));
    QTest::mouseClick(about->findChild<QPushButton *>(QStringLiteral("OKButton")), Qt::LeftButton);
    QTRY_VERIFY(about.isNull());
}

void TestWindows::theInstructionsOpenLeftOfTheMainWindowWhereverItIs()
{
    frmMain main;
    main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));

    for (const QPoint &at : {QPoint(500, 120), QPoint(700, 260)}) {
        main.move(at);
        QTRY_COMPARE(main.frameGeometry().topLeft(), at);
        const QRect frame = main.frameGeometry();
        std::unique_ptr<frmInstructions> w(new frmInstructions(main));
        QCOMPARE(w->pos(), QPoint(frame.left() - frame.width(), frame.top()));
    }
}

QTEST_MAIN(TestWindows)
#include "tst_windows.moc"

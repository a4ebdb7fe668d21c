// The main window as a user drives it: keys, clicks and typing through real
// widget events, against the simulated unit where a run is involved.
#include "harness.h"

#include "ui/frmMain.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

namespace {

int visibleWindowsNamed(const QString &name)
{
    int count = 0;
    for (QWidget *w : QApplication::topLevelWidgets())
        count += w->objectName() == name && w->isVisible();
    return count;
}

} // namespace

class tst_mainwindow : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void theWindowStartsAtRestWithProgramFocused();
    void tabMovesFromProgramToExitRemoteAndTheTwoBoxes();
    void thePortBoxReadsWhatIsTypedIntoIt_data();
    void thePortBoxReadsWhatIsTypedIntoIt();
    void choosingFromThePortListGivesThatPortAndWipesTheResults();
    void thePortListTellsWhichDeviceEachEntryIs();
    void thePortNumberIsReadWithHalvesToEven_data();
    void thePortNumberIsReadWithHalvesToEven();
    void theBaudBoxOffersFiveRatesAndTakesNoTyping();
    void keysWithAModifierAreLeftAlone();
    void f4WhileIdleUpdatesTheUnitWithoutOpeningThePortList();
    void f4DuringARunChangesNothing();
    void escDuringARunCancelsAndNothingIsSentAfter();
    void eachHelpWindowOpenedTwiceIsOneWindow();
    void theInstructionsOpenBesideTheMovedMainWindow();
    void exitWhileIdleClosesEveryWindow();
    void closingTheWindowDuringARunStopsSilentlyAndSendsNothingMore();

private:
    static void showActive(Bench &bench);
    template <typename T>
    static T *child(Bench &bench, const char *name)
    {
        return bench.window().findChild<T *>(QLatin1String(name));
    }
};

void tst_mainwindow::cleanup()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName().startsWith(QLatin1String("frm")) && w->isVisible())
            w->close();
}

void tst_mainwindow::showActive(Bench &bench)
{
    bench->show();
    bench->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&bench.window()));
}

void tst_mainwindow::theWindowStartsAtRestWithProgramFocused()
{
    Bench bench;
    showActive(bench);
    QCOMPARE(bench->windowTitle(), QStringLiteral("AXR-574 Firmware v1208"));
    QCOMPARE(bench->sTitleVer, QStringLiteral("AXR-574 Firmware v1208"));
    QCOMPARE(child<QComboBox>(bench, "cboComPort")->currentText(), QStringLiteral("COM1"));
    QCOMPARE(bench->iComPort, qint16(1));
    QCOMPARE(child<QComboBox>(bench, "cboBaudrate")->currentText(), QStringLiteral("9600"));
    QCOMPARE(bench->sBaudrate, QStringLiteral("9600"));
    QVERIFY(!child<QCheckBox>(bench, "chkRemote")->isChecked());
    QCOMPARE(bench->panelText(1), QStringLiteral("For Help press F1"));
    for (int panel = 2; panel <= 4; ++panel)
        QVERIFY(bench->panelText(panel).isEmpty());
    QCOMPARE(bench->progressValue(), 0.0f);
    QCOMPARE(child<QProgressBar>(bench, "ProgressBar1")->value(), 0);
    QCOMPARE(bench->exitCaption(), QStringLiteral("Exit (ESC)"));
    QVERIFY(bench->message().isEmpty());
    QVERIFY(bench->bStopped && !bench->bFailed && !bench->bSuccess);
    QCOMPARE(QApplication::focusWidget(), child<QPushButton>(bench, "cmdProgram"));
    QVERIFY(!bench->windowIcon().isNull());

    // Designed size, nothing cut off: the window is as wide as its controls.
    QCOMPARE(bench->centralWidget()->size(), QSize(273, 110));
    QCOMPARE(bench->width(), 273);
    const auto *remote = child<QLabel>(bench, "lblRemote");
    QVERIFY(remote->fontMetrics().horizontalAdvance(remote->text()) <= remote->width());
}

void tst_mainwindow::tabMovesFromProgramToExitRemoteAndTheTwoBoxes()
{
    Bench bench;
    showActive(bench);
    const QList<QWidget *> order{child<QPushButton>(bench, "cmdExit"), child<QCheckBox>(bench, "chkRemote"),
                                 child<QComboBox>(bench, "cboComPort"), child<QComboBox>(bench, "cboBaudrate"),
                                 child<QPushButton>(bench, "cmdProgram")};
    for (QWidget *expected : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget *focus = QApplication::focusWidget();
        QVERIFY2(focus == expected || focus->parentWidget() == expected, qPrintable(focus->objectName()));
    }
}

void tst_mainwindow::thePortBoxReadsWhatIsTypedIntoIt_data()
{
    QTest::addColumn<QString>("before");    // text put there first, by typing
    QTest::addColumn<QList<int>>("keys");   // keys pressed after it
    QTest::addColumn<QString>("typed");     // then these characters
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("port");

    QTest::newRow("two digits") << "" << QList<int>{} << "12" << "12" << 12;
    QTest::newRow("a third character is cut off") << "" << QList<int>{} << "123" << "12" << 12;
    QTest::newRow("a digit after COM1 falls back to COM1") << "COM1" << QList<int>{Qt::Key_End} << "5" << "COM1" << 1;
    QTest::newRow("a negative number is taken") << "5" << QList<int>{Qt::Key_Home} << "-" << "-5" << -5;
    QTest::newRow("a half rounds to even once cut") << "" << QList<int>{} << "2.5" << "2." << 2;
    QTest::newRow("letters fall back to COM1") << "" << QList<int>{} << "x" << "COM1" << 1;
    QTest::newRow("after the fallback the next digit replaces COM1") << "" << QList<int>{} << "-7" << "7" << 7;
}

void tst_mainwindow::thePortBoxReadsWhatIsTypedIntoIt()
{
    QFETCH(QString, before);
    QFETCH(QList<int>, keys);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(int, port);

    Bench bench;
    showActive(bench);
    auto *box = child<QComboBox>(bench, "cboComPort");
    QLineEdit *edit = box->lineEdit();
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Backspace);
    if (!before.isEmpty() && before != QLatin1String("COM1")) {
        QTest::keyClicks(edit, before);
    }
    bench->setPanelText(4, QStringLiteral("1123.00")); // the last run's result, wiped by any change
    for (int key : keys)
        QTest::keyClick(edit, Qt::Key(key));
    QTest::keyClicks(edit, typed);

    QCOMPARE(box->currentText(), shown);
    QCOMPARE(bench->iComPort, qint16(port));
    QVERIFY(bench->panelText(4).isEmpty());
    QVERIFY(bench.messages.isEmpty());
}

void tst_mainwindow::choosingFromThePortListGivesThatPortAndWipesTheResults()
{
    Bench bench;
    showActive(bench);
    auto *box = child<QComboBox>(bench, "cboComPort");
    box->setFocus();

    // Clearing the box falls back to the first entry.
    QTest::keyClick(box->lineEdit(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(box->lineEdit(), Qt::Key_Backspace);
    QCOMPARE(box->currentText(), QStringLiteral("COM1"));
    QCOMPARE(bench->iComPort, qint16(1));

    bench->setPanelText(2, QStringLiteral("EB"));
    bench->setProgressValue(40);
    for (int i = 0; i < 7; ++i)
        QTest::keyClick(box, Qt::Key_Down);
    QCOMPARE(box->currentText(), QStringLiteral("COM8"));
    QCOMPARE(bench->iComPort, qint16(8));
    QVERIFY(bench->panelText(2).isEmpty());
    QCOMPARE(bench->progressValue(), 0.0f);

    // Remote Program and the baud box wipe the results as well.
    bench->setPanelText(3, QStringLiteral("3B-FF-C4-01"));
    QTest::mouseClick(child<QCheckBox>(bench, "chkRemote"), Qt::LeftButton);
    QVERIFY(bench->panelText(3).isEmpty());
    // The label beside the box is only a caption.
    QTest::mouseClick(child<QLabel>(bench, "lblRemote"), Qt::LeftButton);
    QVERIFY(child<QCheckBox>(bench, "chkRemote")->isChecked());
}

void tst_mainwindow::thePortListTellsWhichDeviceEachEntryIs()
{
    Bench bench;
    QVERIFY(bench.startSim());
    showActive(bench);
    auto *box = child<QComboBox>(bench, "cboComPort");
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Down, Qt::AltModifier);
    QTRY_VERIFY(box->view()->isVisible());
    QCOMPARE(box->itemData(0, Qt::ToolTipRole).toString(), bench.sim().devicePath());
    QCOMPARE(box->itemData(1, Qt::ToolTipRole).toString(), QStringLiteral("not present"));
    QCOMPARE(box->itemText(0), QStringLiteral("COM1"));

    // ESC belongs to the open list, not to the window.
    QTest::keyClick(box->view(), Qt::Key_Escape);
    QTRY_VERIFY(!box->view()->isVisible());
    QVERIFY(bench->isVisible());
}

void tst_mainwindow::thePortNumberIsReadWithHalvesToEven_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");
    QTest::newRow("2.5") << "2.5" << 2;
    QTest::newRow("3.5") << "3.5" << 4;
    QTest::newRow("-2.5") << "-2.5" << -2;
    QTest::newRow("leading blanks and a sign") << "  +7" << 7;
    QTest::newRow("stops at a second point") << "1.5.3" << 2;
    QTest::newRow("a sign alone") << "-" << 0;
    QTest::newRow("a point alone") << "." << 0;
    QTest::newRow("half of one") << ".5" << 0;
}

void tst_mainwindow::thePortNumberIsReadWithHalvesToEven()
{
    QFETCH(QString, text);
    QFETCH(int, port);
    QCOMPARE(portNumberFromText(text), qint16(port));
}

void tst_mainwindow::theBaudBoxOffersFiveRatesAndTakesNoTyping()
{
    Bench bench;
    showActive(bench);
    auto *box = child<QComboBox>(bench, "cboBaudrate");
    QVERIFY(!box->isEditable());
    QStringList rates;
    for (int i = 0; i < box->count(); ++i)
        rates << box->itemText(i);
    QCOMPARE(rates, (QStringList{"4800", "9600", "19200", "38400", "57600"}));

    box->setFocus();
    QTest::keyClicks(box, "12345");
    QVERIFY(rates.contains(box->currentText()));
    QCOMPARE(bench->sBaudrate, box->currentText());

    QTest::keyClick(box, Qt::Key_Down);
    QCOMPARE(bench->sBaudrate, box->currentText());
}

void tst_mainwindow::keysWithAModifierAreLeftAlone()
{
    Bench bench;
    QVERIFY(bench.startSim());
    showActive(bench);
    auto *port = child<QComboBox>(bench, "cboComPort");
    for (Qt::KeyboardModifier modifier : {Qt::ShiftModifier, Qt::ControlModifier, Qt::AltModifier}) {
        QTest::keyClick(child<QPushButton>(bench, "cmdProgram"), Qt::Key_F4, modifier);
        QTest::keyClick(child<QPushButton>(bench, "cmdProgram"), Qt::Key_Escape, modifier);
        port->setFocus();
        QTest::keyClick(port, Qt::Key_F4, modifier);
        QTest::keyClick(port, Qt::Key_Escape, modifier);
    }
    QVERIFY(bench->isVisible());
    QVERIFY(!port->view()->isVisible());
    QVERIFY(bench.sim().dump());
    QVERIFY(bench.sim().frames().isEmpty());
    QVERIFY(bench.messages.isEmpty());

    // Plain ESC while idle is Exit.
    QTest::keyClick(port, Qt::Key_Escape);
    QVERIFY(!bench->isVisible());
}

void tst_mainwindow::f4WhileIdleUpdatesTheUnitWithoutOpeningThePortList()
{
    Bench bench;
    QVERIFY(bench.startSim());
    showActive(bench);
    auto *port = child<QComboBox>(bench, "cboComPort");
    port->setFocus();
    bool listOpened = false;
    bench->onPoll = [&](int) { listOpened = listOpened || port->view()->isVisible(); };

    QTest::keyClick(port, Qt::Key_F4);

    QVERIFY(!listOpened);
    QVERIFY2(bench.messages.isEmpty(), qPrintable(bench.messageTexts().join(" | ")));
    QCOMPARE(bench->panelText(1), QStringLiteral("Update Finished"));
    QCOMPARE(bench->panelText(2), QStringLiteral("EBPV"));
    QVERIFY(bench.sim().dump());
    QCOMPARE(bench.sim().commands().count(QStringLiteral("0001")), 2);
    QCOMPARE(bench.sim().commands().last(), QStringLiteral("0801"));
}

void tst_mainwindow::f4DuringARunChangesNothing()
{
    Bench bench;
    QVERIFY(bench.startSim());
    showActive(bench);
    bool pressed = false;
    bench->onPoll = [&](int) {
        if (!pressed && bench->progressMax() == 480 && bench->progressValue() >= 100) {
            pressed = true;
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_F4);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_F4, Qt::ShiftModifier);
        }
    };
    QTest::mouseClick(child<QPushButton>(bench, "cmdProgram"), Qt::LeftButton);

    QVERIFY(pressed);
    QVERIFY2(bench.messages.isEmpty(), qPrintable(bench.messageTexts().join(" | ")));
    QCOMPARE(bench->panelText(2), QStringLiteral("EBPV"));
    QVERIFY(bench.sim().dump());
    QCOMPARE(bench.sim().commands().count(QStringLiteral("0001")), 2);
    QCOMPARE(bench.sim().commands().count(QStringLiteral("0801")), 1);
}

void tst_mainwindow::escDuringARunCancelsAndNothingIsSentAfter()
{
    Bench bench;
    QVERIFY(bench.startSim());
    showActive(bench);
    int cancelledAt = 0;
    bool exitCaptionRestored = false;
    bench.onMessage = [&](const RecordedMessage &) { exitCaptionRestored = bench->exitCaption() == "Exit (ESC)"; };
    bench->onPoll = [&](int) {
        if (!cancelledAt && bench->progressMax() == 480 && bench->progressValue() >= 150) {
            cancelledAt = int(bench->progressValue());
            QCOMPARE(bench->exitCaption(), QStringLiteral("Cancel (ESC)"));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape, Qt::ShiftModifier);
            QVERIFY(bench.messages.isEmpty());
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        }
    };
    QTest::keyClick(child<QPushButton>(bench, "cmdProgram"), Qt::Key_F4);

    QVERIFY(cancelledAt > 0);
    QCOMPARE(bench.messageTexts(), QStringList{"Firmware update was cancelled."});
    QCOMPARE(bench.messages.first().kind, frmMain::MsgKind::Error);
    QCOMPARE(bench.messages.first().title, QStringLiteral("AXR-574 Firmware v1208"));
    QVERIFY(exitCaptionRestored);
    QVERIFY(bench->isVisible());
    QVERIFY(!bench->MSComm1.PortOpen());
    QCOMPARE(bench->progressValue(), 0.0f);
    QVERIFY(child<QPushButton>(bench, "cmdProgram")->isEnabled());
    QVERIFY(bench.sim().dump());
    QCOMPARE(bench.sim().frames().size(), 1 + cancelledAt);
}

void tst_mainwindow::eachHelpWindowOpenedTwiceIsOneWindow()
{
    Bench bench;
    showActive(bench);
    QTest::keyClick(child<QPushButton>(bench, "cmdProgram"), Qt::Key_F1);
    QTRY_COMPARE(visibleWindowsNamed("frmInstructions"), 1);
    QWidget *instructions = QApplication::activeWindow();
    bench->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&bench.window()));
    QTest::keyClick(child<QPushButton>(bench, "cmdProgram"), Qt::Key_F1);
    QCOMPARE(visibleWindowsNamed("frmInstructions"), 1);
    QTRY_COMPARE(QApplication::activeWindow(), instructions);

    QMenuBar *bar = bench->menuBar();
    auto *help = bench->findChild<QMenu *>(QStringLiteral("mnuHelp"));
    for (const char *item : {"mnuHelpHistory", "mnuHelpAbout"}) {
        auto *action = bench->findChild<QAction *>(QLatin1String(item));
        const QString window = QLatin1String(item) == QLatin1String("mnuHelpHistory") ? "frmHistory" : "frmAbout";
        for (int time = 0; time < 2; ++time) {
            QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(help->menuAction()).center());
            QTRY_VERIFY(help->isVisible());
            QTest::mouseClick(help, Qt::LeftButton, {}, help->actionGeometry(action).center());
            QTRY_COMPARE(visibleWindowsNamed(window), 1);
        }
    }
}

void tst_mainwindow::theInstructionsOpenBesideTheMovedMainWindow()
{
    Bench bench;
    showActive(bench);
    for (const QPoint &where : {QPoint(500, 200), QPoint(700, 350)}) {
        bench->move(where);
        QTRY_COMPARE(bench->pos(), where);
        bench->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&bench.window()));
        QTest::keyClick(child<QPushButton>(bench, "cmdProgram"), Qt::Key_F1);
        QTRY_COMPARE(visibleWindowsNamed("frmInstructions"), 1);
        QPointer<QWidget> instructions;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String("frmInstructions") && w->isVisible())
                instructions = w;
        const QRect main = bench->frameGeometry();
        QCOMPARE(instructions->frameGeometry().topLeft(), QPoint(main.left() - main.width(), main.top()));
        instructions->close();
        QTRY_VERIFY(!instructions);
    }
}

void tst_mainwindow::exitWhileIdleClosesEveryWindow()
{
    Bench bench;
    showActive(bench);
    QTest::keyClick(child<QPushButton>(bench, "cmdProgram"), Qt::Key_F1);
    bench->findChild<QAction *>(QStringLiteral("mnuHelpAbout"))->trigger();
    bench->findChild<QAction *>(QStringLiteral("mnuHelpHistory"))->trigger();
    QTRY_COMPARE(visibleWindowsNamed("frmInstructions") + visibleWindowsNamed("frmAbout")
                     + visibleWindowsNamed("frmHistory"), 3);

    QTest::mouseClick(child<QPushButton>(bench, "cmdExit"), Qt::LeftButton);

    QVERIFY(!bench->isVisible());
    QTRY_COMPARE(visibleWindowsNamed("frmInstructions") + visibleWindowsNamed("frmAbout")
                     + visibleWindowsNamed("frmHistory"), 0);
    QVERIFY(bench.messages.isEmpty());
}

void tst_mainwindow::closingTheWindowDuringARunStopsSilentlyAndSendsNothingMore()
{
    Bench bench;
    QVERIFY(bench.startSim());
    showActive(bench);
    QTest::keyClick(child<QPushButton>(bench, "cmdProgram"), Qt::Key_F1);
    QTRY_COMPARE(visibleWindowsNamed("frmInstructions"), 1);
    bench->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&bench.window()));

    int closedAt = 0;
    bench->onPoll = [&](int) {
        if (!closedAt && bench->progressMax() == 1920 && bench->progressValue() >= 300) {
            closedAt = int(bench->progressValue());
            bench->close(); // what the close box does
        }
    };
    QTest::mouseClick(child<QPushButton>(bench, "cmdProgram"), Qt::LeftButton);

    QVERIFY(closedAt > 0);
    QVERIFY(!bench->isVisible());
    QCOMPARE(visibleWindowsNamed("frmInstructions"), 0);
    QVERIFY(!bench->MSComm1.PortOpen());
    QVERIFY(bench->bStopped);
    QVERIFY2(bench.messages.isEmpty(), qPrintable(bench.messageTexts().join(" | ")));
    QVERIFY(!bench->successDialog());
    QVERIFY(bench.sim().dump());
    const int programStart = 1 + 480 + 1;
    QCOMPARE(bench.sim().frames().size(), programStart + closedAt);
    QVERIFY(bench.sim().violations().isEmpty());
}

QTEST_MAIN(tst_mainwindow)
#include "tst_mainwindow.moc"

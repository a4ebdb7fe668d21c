// The main window as a person drives it: keys, clicks and typing through real
// widget events, the menu bar walked with the keyboard, against the simulated
// unit where a run is involved.
#include "harness.h"

#include <QtTest>
#include <QtWidgets>

namespace {

const QString kCancelled = QStringLiteral("Firmware update was cancelled.");

QString results(Bench &bench)
{
    return QStringList(
        {bench->panelText(2), bench->panelText(3), bench->panelText(4), QString::number(bench->progressValue())})
        .join('|');
}

void fakeResults(Bench &bench)
{
    for (int panel = 2; panel <= 4; ++panel)
        bench->setPanelText(panel, QStringLiteral("EB"));
    bench->setProgressValue(40);
}

} // namespace

class tst_mainwindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void theWindowStartsAtRestWithProgramFocused()
    {
        Bench bench;
        QVERIFY(bench.show());
        QCOMPARE(bench->windowTitle(), QStringLiteral("AXR-574 Firmware v1208"));
        QCOMPARE(bench.unsettled(), QString());
        QCOMPARE(bench.child<QComboBox>("cboComPort")->currentText() + " "
                + bench.child<QComboBox>("cboBaudrate")->currentText(),
            QStringLiteral("COM1 9600"));
        QVERIFY(
            bench->iComPort == 1 && bench->sBaudrate == "9600" && !bench.child<QCheckBox>("chkRemote")->isChecked());
        QCOMPARE(bench->panelText(1) + "|" + results(bench), QStringLiteral("For Help press F1||||0"));
        QVERIFY(!bench->bFailed && !bench->bSuccess);
        const auto *remote = bench.child<QLabel>("lblRemote");
        QVERIFY(remote->fontMetrics().horizontalAdvance(remote->text()) <= remote->width());
        QCOMPARE(QApplication::focusWidget(), bench.child("cmdProgram"));
    }

    void thePortBoxReadsWhatIsTypedOrChosen_data()
    {
        QTest::addColumn<QString>("before");  // typed into the emptied box
        QTest::addColumn<QList<int>>("keys"); // then these keys
        QTest::addColumn<QString>("typed");   // then these characters
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("shown");
        QTest::newRow("COM8 chosen from the list gives 8") << "" << QList<int>(7, Qt::Key_Down) << "" << 8 << "COM8";
        QTest::newRow("two digits") << "" << QList<int> {} << "12" << 12 << "12";
        QTest::newRow("a third character is cut off") << "" << QList<int> {} << "123" << 12 << "12";
        QTest::newRow("a digit after COM1 falls back to COM1") << "" << QList<int> {Qt::Key_End} << "5" << 1 << "COM1";
        QTest::newRow("clearing falls back to COM1") << "12" << QList<int> {} << "\b\b" << 1 << "COM1";
        QTest::newRow("a negative number is taken") << "5" << QList<int> {Qt::Key_Home} << "-" << -5 << "-5";
        QTest::newRow("2.5 is cut to 2. and read as 2") << "" << QList<int> {} << "2.5" << 2 << "2.";
        QTest::newRow("letters fall back to COM1") << "" << QList<int> {} << "x" << 1 << "COM1";
        QTest::newRow("after the fallback the next digit replaces COM1") << "" << QList<int> {} << "-7" << 7 << "7";
        // The box keeps two characters, so the number is read from those alone.
        QTest::newRow("a leading blank is skipped") << "7" << QList<int> {Qt::Key_Home} << " " << 7 << " 7";
        QTest::newRow("a plus sign") << "7" << QList<int> {Qt::Key_Home} << "+" << 7 << "+7";
        QTest::newRow("reading stops at a letter") << "" << QList<int> {} << "7x" << 7 << "7x";
        QTest::newRow("half of one is 0, which falls back to COM1")
            << "5" << QList<int> {Qt::Key_Home} << "." << 1 << "COM1";
    }

    void thePortBoxReadsWhatIsTypedOrChosen()
    {
        QFETCH(QString, before);
        QFETCH(QList<int>, keys);
        QFETCH(QString, typed);
        QFETCH(int, port);
        QFETCH(QString, shown);
        Bench bench;
        QVERIFY(bench.show());
        auto *box = bench.child<QComboBox>("cboComPort");
        box->lineEdit()->setFocus();
        bench.press(Qt::Key_A, Qt::ControlModifier);
        bench.press(Qt::Key_Backspace);
        bench.type(before);
        fakeResults(bench);
        for (int key : keys)
            bench.press(Qt::Key(key));
        bench.type(typed);

        QCOMPARE(box->currentText(), shown);
        QCOMPARE(bench->iComPort, qint16(port));
        QCOMPARE(results(bench), QStringLiteral("|||0"));
        QVERIFY(bench.messages.isEmpty());
    }

    void theBaudBoxTakesNoTypingAndEveryChoiceWipesTheResults()
    {
        Bench bench;
        QVERIFY(bench.show());
        auto *box = bench.child<QComboBox>("cboBaudrate");
        box->setFocus();
        bench.type("12345");
        QVERIFY((QStringList {"4800", "9600", "19200", "38400", "57600"}).contains(box->currentText()));
        QCOMPARE(bench->sBaudrate, box->currentText());
        bench.press(Qt::Key_Home);
        fakeResults(bench);
        bench.press(Qt::Key_Down);
        QCOMPARE(bench->sBaudrate, QStringLiteral("9600"));
        QCOMPARE(results(bench), QStringLiteral("|||0"));

        fakeResults(bench);
        bench.click("chkRemote");
        QCOMPARE(results(bench), QStringLiteral("|||0"));
    }

    void keysActOnlyAsTheWindowMeansThem_data()
    {
        QTest::addColumn<QString>("focus");
        QTest::addColumn<QList<int>>("keys"); // each with its modifiers
        QTest::addColumn<bool>("duringRun");  // pressed in the middle of erasing
        QTest::addColumn<QString>("outcome"); // nothing, exit, update (to its end) or cancel
        const int f4 = Qt::Key_F4, esc = Qt::Key_Escape, ret = Qt::Key_Return, shift = Qt::SHIFT, ctrl = Qt::CTRL,
                  alt = Qt::ALT, keypad = Qt::KeypadModifier, enter = keypad | Qt::Key_Enter;
        const QList<int> withModifiers {shift | f4, ctrl | f4, alt | f4, shift | esc, ctrl | esc, alt | esc};
        QTest::newRow("F4 or ESC with Shift, Ctrl or Alt while idle does nothing")
            << "cboComPort" << withModifiers << false << "nothing";
        QTest::newRow("F4 in the port box updates without opening its list")
            << "cboComPort" << QList<int> {f4} << false << "update";
        QTest::newRow("ESC while idle exits") << "cboComPort" << QList<int> {esc} << false << "exit";
        QTest::newRow("F4, or a key with Shift, Ctrl or Alt, during a run changes nothing")
            << "cmdExit" << (QList<int> {f4} + withModifiers) << true << "update";
        QTest::newRow("ESC during a run cancels and nothing is sent after")
            << "cmdExit" << QList<int> {esc} << true << "cancel";
        QTest::newRow("Return on Program updates") << "cmdProgram" << QList<int> {ret} << false << "update";
        QTest::newRow("keypad Enter on Program updates") << "cmdProgram" << QList<int> {enter} << false << "update";
        QTest::newRow("Return on Exit closes") << "cmdExit" << QList<int> {ret} << false << "exit";
        QTest::newRow("keypad Enter on Cancel cancels") << "cmdExit" << QList<int> {enter} << true << "cancel";
        QTest::newRow("Return on the check box presses no button")
            << "chkRemote" << QList<int> {ret} << false << "nothing";
        QTest::newRow("Return in the port box presses no button")
            << "cboComPort" << QList<int> {ret} << false << "nothing";
        QTest::newRow("Return held on Program repeats into nothing")
            << "cmdProgram" << QList<int> {ret} << false << "held";
    }

    void keysActOnlyAsTheWindowMeansThem()
    {
        QFETCH(QString, focus);
        QFETCH(QList<int>, keys);
        QFETCH(bool, duringRun);
        QFETCH(QString, outcome);
        Bench bench;
        QVERIFY(bench.startSim() && bench.show());
        auto *port = bench.child<QComboBox>("cboComPort");
        QString untouched; // what the keys left of a run that goes on, read at once
        bool exitBeforeMessage = false, listOpened = false;
        bench.onMessage = [&](const RecordedMessage &) { exitBeforeMessage = bench->exitCaption() == "Exit (ESC)"; };
        const auto pressAll = [&] {
            bench.child(qPrintable(focus))->setFocus();
            const QString before = bench->panelText(1) + QString::number(bench->progressValue());
            for (int key : keys)
                bench.press(
                    Qt::Key(key & ~Qt::KeyboardModifierMask), Qt::KeyboardModifiers(key & Qt::KeyboardModifierMask));
            const bool kept = before == bench->panelText(1) + QString::number(bench->progressValue());
            untouched = QString(kept ? "kept, " : "changed, ") + bench->exitCaption();
        };
        if (duringRun) {
            bench.atWait(150, pressAll);
            bench.program();
        } else {
            bench->onPoll = [&](int) { listOpened = listOpened || port->view()->isVisible(); };
            // The repeats of a held key arrive while the run is under way, with
            // the focus moved on from the disabled Program to Cancel.
            if (outcome == "held")
                bench.atWait(50, [&] {
                    for (int i = 0; i < 5; ++i)
                        bench.press(Qt::Key_Return, Qt::NoModifier, true);
                });
            pressAll();
        }
        QVERIFY(!listOpened && !port->view()->isVisible());

        QVERIFY(bench.sim().dump());
        const QStringList sent = bench.sim().commands();
        if (outcome == "nothing" || outcome == "exit") {
            QCOMPARE(bench->isVisible(), outcome == "nothing");
            QVERIFY(sent.isEmpty() && bench.messages.isEmpty());
        } else if (outcome == "cancel") {
            QCOMPARE(bench.messageTexts(), QStringList {kCancelled});
            QVERIFY(bench.messages[0].kind == frmMain::MsgKind::Error && exitBeforeMessage && bench->isVisible());
            QCOMPARE(bench.unsettled(), QString());
            QCOMPARE(bench->progressValue(), 0.0f);
            QCOMPARE(sent.size(), 150);
        } else {
            QVERIFY2(bench.messages.isEmpty(), qPrintable(bench.messageTexts().join(" | ")));
            if (duringRun) // a second run started inside the first would end the same, but not untouched
                QCOMPARE(untouched, QStringLiteral("kept, Cancel (ESC)"));
            QCOMPARE(sent, fullRunCommands());
            QVERIFY(bench->successDialog());
        }
    }

    void theMenuHasTheKeysWhileItIsOpen_data()
    {
        QTest::addColumn<bool>("byMouse"); // else Alt, then Down
        QTest::addColumn<bool>("duringRun");
        QTest::newRow("menu opened by mouse, idle") << true << false;
        QTest::newRow("menu opened by mouse, during a run") << true << true;
        QTest::newRow("menu opened by Alt and Down, idle") << false << false;
        QTest::newRow("menu opened by Alt and Down, during a run") << false << true;
    }

    // Open the menu, leave it with two presses of Escape, then press Escape
    // once more: only that one is the window's.
    void theMenuHasTheKeysWhileItIsOpen()
    {
        QFETCH(bool, byMouse);
        QFETCH(bool, duringRun);
        Bench bench;
        QVERIFY(bench.startSim() && bench.show());
        QMenuBar *bar = bench->menuBar();
        auto *help = bench.child<QMenu>("mnuHelp");
        QStringList seen;
        const auto walk = [&] {
            if (byMouse) {
                QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(help->menuAction()).center());
            } else {
                bench.press(Qt::Key_Alt, Qt::AltModifier);
                bench.press(Qt::Key_Down);
            }
            seen << (help->isVisible() ? "menu open" : "menu shut");
            bench.press(Qt::Key_Escape);
            seen << (help->isVisible() ? "menu open" : "menu shut");
            bench.press(Qt::Key_Escape);
            seen << (QApplication::focusWidget() == bar ? "bar has the keyboard" : "bar left");
            seen << (bench->isVisible() && bench.messages.isEmpty() && bench->bStopped != duringRun ? "untouched"
                                                                                                    : "disturbed");
            bench.press(Qt::Key_Escape);
        };
        if (duringRun) {
            bench.atWait(200, walk);
            bench.program();
        } else {
            walk();
        }
        QCOMPARE(seen, (QStringList {"menu open", "menu shut", "bar left", "untouched"}));
        QCOMPARE(bench->isVisible(), duringRun);
        if (duringRun) {
            QCOMPARE(bench.unsettled(), QString());
            QCOMPARE(bench.messageTexts(), QStringList {kCancelled});
            QVERIFY(bench.sim().dump());
            QCOMPARE(bench.sim().frames().size(), 200);
        }
    }

    void theHelpMenuAndF1OpenEachWindowOnceDuringARunAndExitClosesThem()
    {
        Bench bench;
        QVERIFY(bench.startSim() && bench.show());
        bench->move(500, 200);
        QTRY_COMPARE(bench->pos(), QPoint(500, 200));
        bench.atWait(300, [&] {
            bench.press(Qt::Key_Alt, Qt::AltModifier);
            bench.press(Qt::Key_Down); // Instructions
            bench.press(Qt::Key_Down); // Version History
            bench.press(Qt::Key_Return);
            bench->activateWindow();
            bench.press(Qt::Key_F1);
        });
        bench.program();
        QCOMPARE(bench.unsettled(), QString());
        QVERIFY2(bench.messages.isEmpty(), qPrintable(bench.messageTexts().join(" | ")));
        QVERIFY(bench->successDialog());
        QCOMPARE(openWindows("frmHistory").size() + openWindows("frmInstructions").size(), 2);

        // Again from an idle window, the items by mouse: each window once, the
        // instructions right beside the main window.
        for (const char *item : {"mnuHelpHistory", "mnuHelpAbout", "mnuHelpInstr"}) {
            bench->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&bench.window()));
            bench.pickFromHelp(item);
        }
        bench->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&bench.window()));
        bench.press(Qt::Key_F1);
        for (const char *window : {"frmHistory", "frmAbout", "frmInstructions"})
            QTRY_COMPARE(openWindows(QLatin1String(window)).size(), 1);
        const QRect main = bench->frameGeometry();
        QCOMPARE(openWindows("frmInstructions").first()->frameGeometry().topLeft(),
            QPoint(main.left() - main.width(), main.top()));

        bench->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&bench.window()));
        bench.click("cmdExit");
        QVERIFY(!bench->isVisible());
        for (const char *window : {"frmInstructions", "frmHistory", "frmAbout", "frmSuccess"})
            QTRY_VERIFY(openWindows(QLatin1String(window)).isEmpty());
    }
};

QTEST_MAIN(tst_mainwindow)
#include "tst_mainwindow.moc"

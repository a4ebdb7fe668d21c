// The program as a person uses it: the menu bar walked with the keyboard and
// Enter on a focused button.
#include "harness.h"

#include <QtTest>
#include <QtWidgets>

namespace {

const QString kCancelled = QStringLiteral("Firmware update was cancelled.");

template<typename T> T *child(Bench &bench, const char *name)
{
    return bench->findChild<T *>(QLatin1String(name));
}

bool ready(Bench &bench, const QStringList &simArgs = {})
{
    if (!bench.startSim(simArgs))
        return false;
    bench->show();
    bench->activateWindow();
    return QTest::qWaitForWindowActive(&bench.window());
}

// Runs the action once, at the first poll of the given frame's reply wait.
void atFrame(Bench &bench, int frame, std::function<void()> action)
{
    auto waits = std::make_shared<int>(0);
    bench->onPoll = [waits, frame, action](int poll) {
        if (poll == 1 && ++*waits == frame)
            action();
    };
}

void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, bool autoRepeat = false)
{
    QWidget *target
        = QApplication::activePopupWidget() ? QApplication::activePopupWidget() : QApplication::focusWidget();
    if (!target)
        return;
    QKeyEvent down(QEvent::KeyPress, key, modifiers, QString(), autoRepeat);
    QKeyEvent up(QEvent::KeyRelease, key, modifiers, QString(), autoRepeat);
    QApplication::sendEvent(target, &down);
    QApplication::sendEvent(target, &up);
}

bool atRest(frmMain &w)
{
    return w.bStopped && !w.MSComm1.PortOpen() && w.exitCaption() == QLatin1String("Exit (ESC)")
        && w.message().isEmpty() && w.runControlEnabled(frmMain::RunControl::cmdProgram);
}

} // namespace

class tst_handsandcables : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void escapeBelongsToTheMenuWhileOneHasTheKeyboard_data();
    void escapeBelongsToTheMenuWhileOneHasTheKeyboard();
    void theMenuBarWalkedByKeyOpensItsWindowsWithoutStoppingARun();
    void enterPressesOnlyTheFocusedButton_data();
    void enterPressesOnlyTheFocusedButton();
};

void tst_handsandcables::escapeBelongsToTheMenuWhileOneHasTheKeyboard_data()
{
    QTest::addColumn<bool>("byMouse"); // else Alt, then Down
    QTest::addColumn<bool>("duringRun");
    QTest::newRow("menu opened by mouse, idle") << true << false;
    QTest::newRow("menu opened by mouse, during a run") << true << true;
    QTest::newRow("menu opened by Alt and Down, idle") << false << false;
    QTest::newRow("menu opened by Alt and Down, during a run") << false << true;
}

void tst_handsandcables::escapeBelongsToTheMenuWhileOneHasTheKeyboard()
{
    QFETCH(bool, byMouse);
    QFETCH(bool, duringRun);
    Bench bench;
    QVERIFY(ready(bench));
    QMenuBar *bar = bench->menuBar();
    auto *help = bench->findChild<QMenu *>(QStringLiteral("mnuHelp"));

    // Open the menu, leave it with two presses of Escape, then press Escape
    // once more: only that one is the window's.
    QStringList seen;
    const auto walk = [&] {
        if (byMouse) {
            QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(help->menuAction()).center());
        } else {
            press(Qt::Key_Alt, Qt::AltModifier);
            press(Qt::Key_Down);
        }
        seen << (help->isVisible() ? "menu open" : "menu shut");
        press(Qt::Key_Escape);
        seen << (help->isVisible() ? "menu open" : "menu shut");
        press(Qt::Key_Escape);
        seen << (QApplication::focusWidget() == bar ? "bar has the keyboard" : "bar left");
        seen << (bench->isVisible() && bench.messages.isEmpty() && bench->bStopped != duringRun ? "untouched"
                                                                                                : "disturbed");
        press(Qt::Key_Escape);
    };
    if (duringRun) {
        atFrame(bench, 200, walk);
        bench.program();
    } else {
        walk();
    }

    QCOMPARE(seen, (QStringList {"menu open", "menu shut", "bar left", "untouched"}));
    if (duringRun) {
        QCOMPARE(bench.messageTexts(), QStringList {kCancelled});
        QVERIFY(bench.sim().dump());
        QCOMPARE(bench.sim().frames().size(), 200);
        QVERIFY(bench->isVisible() && atRest(bench.window()));
    } else {
        QVERIFY(!bench->isVisible());
    }
}

void tst_handsandcables::theMenuBarWalkedByKeyOpensItsWindowsWithoutStoppingARun()
{
    Bench bench;
    QVERIFY(ready(bench));
    QPointer<QWidget> history;
    atFrame(bench, 300, [&] {
        press(Qt::Key_Alt, Qt::AltModifier);
        press(Qt::Key_Down); // Instructions
        press(Qt::Key_Down); // Version History
        press(Qt::Key_Return);
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == QLatin1String("frmHistory") && w->isVisible())
                history = w;
        bench->activateWindow();
        press(Qt::Key_F1); // the shortcut, from the main window
    });
    QVERIFY(bench.programAndSettle());
    QVERIFY(history);
    QVERIFY2(bench.messages.isEmpty(), qPrintable(bench.messageTexts().join(" | ")));
    QVERIFY(bench->successDialog());
    const QWidgetList windows = QApplication::topLevelWidgets();
    QVERIFY(std::any_of(windows.begin(), windows.end(),
        [](QWidget *w) { return w->objectName() == QLatin1String("frmInstructions") && w->isVisible(); }));
    bench->close();
}

void tst_handsandcables::enterPressesOnlyTheFocusedButton_data()
{
    QTest::addColumn<QString>("focus");
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("duringRun");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("Return on Program updates") << "cmdProgram" << int(Qt::Key_Return) << false << "update";
    QTest::newRow("keypad Enter on Program updates") << "cmdProgram" << int(Qt::Key_Enter) << false << "update";
    QTest::newRow("Return on Exit closes") << "cmdExit" << int(Qt::Key_Return) << false << "closed";
    QTest::newRow("keypad Enter on Cancel cancels") << "cmdExit" << int(Qt::Key_Enter) << true << "cancelled";
    QTest::newRow("Return on the check box presses no button")
        << "chkRemote" << int(Qt::Key_Return) << false << "nothing";
    QTest::newRow("Return in the port box presses no button")
        << "cboComPort" << int(Qt::Key_Return) << false << "nothing";
    QTest::newRow("Return held on Program repeats into nothing")
        << "cmdProgram" << int(Qt::Key_Return) << false << "update, held";
}

void tst_handsandcables::enterPressesOnlyTheFocusedButton()
{
    QFETCH(QString, focus);
    QFETCH(int, key);
    QFETCH(bool, duringRun);
    QFETCH(QString, outcome);
    Bench bench;
    QVERIFY(ready(bench));
    QVERIFY(
        !child<QPushButton>(bench, "cmdProgram")->isDefault() && !child<QPushButton>(bench, "cmdExit")->isDefault());
    const Qt::KeyboardModifiers modifiers = key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier;

    if (duringRun) {
        atFrame(bench, 50, [&] {
            bench->findChild<QWidget *>(focus)->setFocus();
            press(key, modifiers);
        });
        bench.program();
    } else {
        if (outcome.endsWith("held")) {
            // The repeats of a held key arrive while the run is under way,
            // with the focus moved on from the disabled Program to Cancel.
            atFrame(bench, 50, [&] {
                for (int i = 0; i < 5; ++i)
                    press(key, modifiers, true);
            });
        }
        bench->findChild<QWidget *>(focus)->setFocus();
        press(key, modifiers);
    }

    QVERIFY(bench.sim().dump());
    const QStringList sent = bench.sim().commands();
    if (outcome.startsWith("update")) {
        QVERIFY2(bench.messages.isEmpty(), qPrintable(bench.messageTexts().join(" | ")));
        QCOMPARE(sent, fullRunCommands());
        QVERIFY(bench->successDialog());
    } else if (outcome == "cancelled") {
        QCOMPARE(bench.messageTexts(), QStringList {kCancelled});
        QCOMPARE(sent.size(), 50);
    } else {
        QVERIFY(sent.isEmpty() && bench.messages.isEmpty());
        QCOMPARE(bench->isVisible(), outcome == "nothing");
    }
}

QTEST_MAIN(tst_handsandcables)
#include "tst_handsandcables.moc"

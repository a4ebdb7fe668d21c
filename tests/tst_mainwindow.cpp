// The main window as a user drives it: keys, clicks and typing through real
// widget events, against the simulated unit where a run is involved.
#include "harness.h"

#include <QtTest>
#include <QtWidgets>

namespace {

template<typename T> T *child(Bench &bench, const char *name)
{
    return bench->findChild<T *>(QLatin1String(name));
}

// Shows the window active, port 1 wired to a simulated unit when asked.
bool ready(Bench &bench, bool withSim = false)
{
    if (withSim && !bench.startSim())
        return false;
    bench->show();
    bench->activateWindow();
    return QTest::qWaitForWindowActive(&bench.window());
}

// Runs the action once, when the progress within the stage of the given
// length first reaches the value; reached records where that was.
void whenProgress(Bench &bench, float stage, float value, int &reached, std::function<void()> action)
{
    bench->onPoll = [&bench, stage, value, &reached, action](int) {
        if (!reached && bench->progressMax() == stage && bench->progressValue() >= value) {
            reached = int(bench->progressValue());
            action();
        }
    };
}

void fakeResults(Bench &bench)
{
    for (int panel = 2; panel <= 4; ++panel)
        bench->setPanelText(panel, QStringLiteral("EB"));
    bench->setProgressValue(40);
}

bool resultsWiped(Bench &bench)
{
    return bench->panelText(2).isEmpty() && bench->panelText(3).isEmpty() && bench->panelText(4).isEmpty()
        && bench->progressValue() == 0.0f;
}

} // namespace

class tst_mainwindow : public QObject
{
    Q_OBJECT

private slots:
    void theWindowStartsAtRestWithProgramFocused()
    {
        Bench bench;
        QVERIFY(ready(bench));
        QCOMPARE(bench->windowTitle(), QStringLiteral("AXR-574 Firmware v1208"));
        QVERIFY(!bench->windowIcon().isNull());
        QCOMPARE(child<QComboBox>(bench, "cboComPort")->currentText(), QStringLiteral("COM1"));
        QCOMPARE(bench->iComPort, qint16(1));
        QCOMPARE(child<QComboBox>(bench, "cboBaudrate")->currentText(), QStringLiteral("9600"));
        QCOMPARE(bench->sBaudrate, QStringLiteral("9600"));
        QVERIFY(!child<QCheckBox>(bench, "chkRemote")->isChecked());
        QCOMPARE(bench->panelText(1), QStringLiteral("For Help press F1"));
        QVERIFY(resultsWiped(bench));
        QCOMPARE(bench->exitCaption(), QStringLiteral("Exit (ESC)"));
        QVERIFY(bench->message().isEmpty());
        QVERIFY(bench->bStopped && !bench->bFailed && !bench->bSuccess);
        const auto *remote = child<QLabel>(bench, "lblRemote");
        QVERIFY(remote->fontMetrics().horizontalAdvance(remote->text()) <= remote->width());
        QCOMPARE(QApplication::focusWidget(), child<QPushButton>(bench, "cmdProgram"));
    }

    void thePortBoxReadsWhatIsTypedOrChosen_data()
    {
        QTest::addColumn<QString>("before");  // typed into the emptied box
        QTest::addColumn<QList<int>>("keys"); // then these keys
        QTest::addColumn<QString>("typed");   // then these characters
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("port");

        QTest::newRow("COM8 chosen from the list gives 8") << "" << QList<int>(7, Qt::Key_Down) << ""
                                                           << "COM8" << 8;
        QTest::newRow("two digits") << "" << QList<int> {} << "12"
                                    << "12" << 12;
        QTest::newRow("a third character is cut off") << "" << QList<int> {} << "123"
                                                      << "12" << 12;
        QTest::newRow("a digit after COM1 falls back to COM1") << "" << QList<int> {Qt::Key_End} << "5"
                                                               << "COM1" << 1;
        QTest::newRow("clearing falls back to COM1") << "12" << QList<int> {} << "\b\b"
                                                     << "COM1" << 1;
        QTest::newRow("a negative number is taken") << "5" << QList<int> {Qt::Key_Home} << "-"
                                                    << "-5" << -5;
        QTest::newRow("2.5 is cut to 2. and read as 2") << "" << QList<int> {} << "2.5"
                                                        << "2." << 2;
        QTest::newRow("letters fall back to COM1") << "" << QList<int> {} << "x"
                                                   << "COM1" << 1;
        QTest::newRow("after the fallback the next digit replaces COM1") << "" << QList<int> {} << "-7"
                                                                         << "7" << 7;
    }

    void thePortBoxReadsWhatIsTypedOrChosen()
    {
        QFETCH(QString, before);
        QFETCH(QList<int>, keys);
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        QFETCH(int, port);

        Bench bench;
        QVERIFY(ready(bench));
        auto *box = child<QComboBox>(bench, "cboComPort");
        QLineEdit *edit = box->lineEdit();
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, before);
        fakeResults(bench);
        for (int key : keys)
            QTest::keyClick(edit, Qt::Key(key));
        QTest::keyClicks(edit, typed);

        QCOMPARE(box->currentText(), shown);
        QCOMPARE(bench->iComPort, qint16(port));
        QVERIFY(resultsWiped(bench));
        QVERIFY(bench.messages.isEmpty());
    }

    void thePortNumberIsReadWithHalvesToEven_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port");
        QTest::newRow("2.5") << "2.5" << 2;
        QTest::newRow("3.5") << "3.5" << 4;
        QTest::newRow("-2.5") << "-2.5" << -2;
        QTest::newRow("leading blanks and a sign") << "  +7" << 7;
        QTest::newRow("stops at a second point") << "1.5.3" << 2;
        QTest::newRow("half of one") << ".5" << 0;
    }

    void thePortNumberIsReadWithHalvesToEven()
    {
        QFETCH(QString, text);
        QFETCH(int, port);
        QCOMPARE(portNumberFromText(text), qint16(port));
    }

    void theBaudBoxTakesNoTypingAndEveryChoiceWipesTheResults()
    {
        Bench bench;
        QVERIFY(ready(bench));
        auto *box = child<QComboBox>(bench, "cboBaudrate");
        box->setFocus();
        QTest::keyClicks(box, "12345");
        QVERIFY((QStringList {"4800", "9600", "19200", "38400", "57600"}).contains(box->currentText()));
        QCOMPARE(bench->sBaudrate, box->currentText());

        QTest::keyClick(box, Qt::Key_Home);
        fakeResults(bench);
        QTest::keyClick(box, Qt::Key_Down);
        QCOMPARE(bench->sBaudrate, QStringLiteral("9600"));
        QVERIFY(resultsWiped(bench));

        fakeResults(bench);
        QTest::mouseClick(child<QCheckBox>(bench, "chkRemote"), Qt::LeftButton);
        QVERIFY(resultsWiped(bench));
        QTest::mouseClick(child<QLabel>(bench, "lblRemote"), Qt::LeftButton); // only a caption
        QVERIFY(child<QCheckBox>(bench, "chkRemote")->isChecked());
    }

    void thePortListTellsWhichDeviceEachEntryIsAndKeepsItsEsc()
    {
        Bench bench;
        QVERIFY(ready(bench, true));
        auto *box = child<QComboBox>(bench, "cboComPort");
        box->setFocus();
        QTest::keyClick(box, Qt::Key_Down, Qt::AltModifier);
        QTRY_VERIFY(box->view()->isVisible());
        QCOMPARE(box->itemData(0, Qt::ToolTipRole).toString(), bench.sim().devicePath());
        QCOMPARE(box->itemData(1, Qt::ToolTipRole).toString(), QStringLiteral("not present"));
        QCOMPARE(box->itemText(0), QStringLiteral("COM1"));

        QTest::keyClick(box->view(), Qt::Key_Escape);
        QTRY_VERIFY(!box->view()->isVisible());
        QVERIFY(bench->isVisible());
    }

    void f4AndEsc_data()
    {
        QTest::addColumn<QList<int>>("keys"); // each with its modifiers
        QTest::addColumn<bool>("duringRun");  // pressed in the middle of erasing
        QTest::addColumn<QString>("outcome"); // nothing, exit, update (to its end) or cancel

        const int f4 = Qt::Key_F4, esc = Qt::Key_Escape, shift = Qt::SHIFT, ctrl = Qt::CTRL, alt = Qt::ALT;
        const QList<int> withModifiers {shift | f4, ctrl | f4, alt | f4, shift | esc, ctrl | esc, alt | esc};
        QTest::newRow("F4 or ESC with Shift, Ctrl or Alt while idle does nothing")
            << withModifiers << false << "nothing";
        QTest::newRow("F4 while idle updates without opening the port list") << QList<int> {f4} << false << "update";
        QTest::newRow("ESC while idle exits") << QList<int> {esc} << false << "exit";
        QTest::newRow("F4, or a key with Shift, Ctrl or Alt, during a run changes nothing")
            << (QList<int> {f4} + withModifiers) << true << "update";
        QTest::newRow("ESC during a run cancels and nothing is sent after") << QList<int> {esc} << true << "cancel";
    }

    void f4AndEsc()
    {
        QFETCH(QList<int>, keys);
        QFETCH(bool, duringRun);
        QFETCH(QString, outcome);

        Bench bench;
        QVERIFY(ready(bench, true));
        auto *port = child<QComboBox>(bench, "cboComPort");
        bool listOpened = false, exitBeforeMessage = false;
        QString runUntouched; // what the keys left of a run that goes on, read at once
        bench.onMessage = [&](const RecordedMessage &) { exitBeforeMessage = bench->exitCaption() == "Exit (ESC)"; };
        const auto press = [&] {
            QCOMPARE(bench->exitCaption(), QString(duringRun ? "Cancel (ESC)" : "Exit (ESC)"));
            const float progress = bench->progressValue();
            const QString panel1 = bench->panelText(1);
            for (int key : keys)
                QTest::keyClick(QApplication::focusWidget(), Qt::Key(key & ~Qt::KeyboardModifierMask),
                    Qt::KeyboardModifiers(key & Qt::KeyboardModifierMask));
            bool controlsOff = true;
            for (const char *name : {"cmdProgram", "chkRemote", "cboComPort", "cboBaudrate"})
                controlsOff = controlsOff && !bench->findChild<QWidget *>(QLatin1String(name))->isEnabled();
            runUntouched = QString("controls off %1, progress kept %2, panel kept %3, %4")
                               .arg(controlsOff)
                               .arg(bench->progressValue() == progress)
                               .arg(bench->panelText(1) == panel1)
                               .arg(bench->exitCaption());
        };
        int pressedAt = 0;
        if (duringRun) {
            whenProgress(bench, 480, 150, pressedAt, press);
            QTest::mouseClick(child<QPushButton>(bench, "cmdProgram"), Qt::LeftButton);
            QVERIFY(pressedAt > 0);
        } else {
            bench->onPoll = [&](int) { listOpened = listOpened || port->view()->isVisible(); };
            port->setFocus(); // a box that would open its list on F4
            press();
        }
        QVERIFY(!listOpened && !port->view()->isVisible());

        QVERIFY(bench.sim().dump());
        const QStringList sent = bench.sim().commands();
        if (outcome == "nothing" || outcome == "exit") {
            QCOMPARE(bench->isVisible(), outcome == "nothing");
            QVERIFY(sent.isEmpty() && bench.messages.isEmpty());
        } else if (outcome == "update") {
            QVERIFY2(bench.messages.isEmpty(), qPrintable(bench.messageTexts().join(" | ")));
            if (duringRun) // a second run started inside the first would end the same, but not untouched
                QCOMPARE(runUntouched, QStringLiteral("controls off 1, progress kept 1, panel kept 1, Cancel (ESC)"));
            QCOMPARE(bench->panelText(1) + " " + bench->panelText(2), QStringLiteral("Update Finished EBPV"));
            QCOMPARE(sent.count("0001"), 2);
            QCOMPARE(sent.count("0801"), 1);
            QCOMPARE(sent.last(), QStringLiteral("0801"));
        } else {
            QCOMPARE(bench.messageTexts(), QStringList {"Firmware update was cancelled."});
            QVERIFY(bench.messages[0].kind == frmMain::MsgKind::Error && bench.messages[0].title == bench->sTitleVer);
            QVERIFY(exitBeforeMessage && bench->isVisible() && !bench->MSComm1.PortOpen());
            QVERIFY(bench->progressValue() == 0 && child<QPushButton>(bench, "cmdProgram")->isEnabled());
            QCOMPARE(bench.sim().frames().size(), 1 + pressedAt); // the version read, then erasing
        }
    }

    void eachHelpWindowOpensOnceTheInstructionsBesideTheWindowAndExitClosesAll()
    {
        Bench bench;
        QVERIFY(ready(bench));
        bench->move(500, 200);
        QTRY_COMPARE(bench->pos(), QPoint(500, 200));
        QMenuBar *bar = bench->menuBar();
        auto *help = bench->findChild<QMenu *>(QStringLiteral("mnuHelp"));
        const char *items[][2] = {{"mnuHelpHistory", "frmHistory"}, {"mnuHelpAbout", "frmAbout"}};
        for (int time = 0; time < 2; ++time) {
            bench->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&bench.window()));
            QTest::keyClick(child<QPushButton>(bench, "cmdProgram"), Qt::Key_F1);
            QTRY_COMPARE(openWindows("frmInstructions").size(), 1);
            QWidget *instructions = openWindows("frmInstructions").first();
            QTRY_COMPARE(QApplication::activeWindow(), instructions);
            const QRect main = bench->frameGeometry();
            QCOMPARE(instructions->frameGeometry().topLeft(), QPoint(main.left() - main.width(), main.top()));
            for (const auto &[item, window] : items) {
                QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(help->menuAction()).center());
                QTRY_VERIFY(help->isVisible());
                QTest::mouseClick(help, Qt::LeftButton, {},
                    help->actionGeometry(bench->findChild<QAction *>(QLatin1String(item))).center());
                QTRY_COMPARE(openWindows(QLatin1String(window)).size(), 1);
            }
        }

        QTest::mouseClick(child<QPushButton>(bench, "cmdExit"), Qt::LeftButton);
        QVERIFY(!bench->isVisible() && bench.messages.isEmpty());
        for (const char *window : {"frmInstructions", "frmHistory", "frmAbout"})
            QTRY_VERIFY(openWindows(QLatin1String(window)).isEmpty());
    }

    void closingTheWindowDuringARunStopsSilentlyAndSendsNothingMore()
    {
        Bench bench;
        QVERIFY(ready(bench, true));
        QTest::keyClick(child<QPushButton>(bench, "cmdProgram"), Qt::Key_F1);
        QTRY_COMPARE(openWindows("frmInstructions").size(), 1);
        bench->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&bench.window()));

        int closedAt = 0;
        whenProgress(bench, 1920, 300, closedAt, [&] { bench->close(); }); // what the close box does
        QTest::mouseClick(child<QPushButton>(bench, "cmdProgram"), Qt::LeftButton);

        QVERIFY(closedAt > 0);
        QVERIFY(!bench->isVisible() && openWindows("frmInstructions").isEmpty());
        QVERIFY(!bench->MSComm1.PortOpen() && bench->bStopped && !bench->successDialog());
        QVERIFY2(bench.messages.isEmpty(), qPrintable(bench.messageTexts().join(" | ")));
        QVERIFY(bench.sim().dump());
        QCOMPARE(bench.sim().frames().size(), 1 + 480 + 1 + closedAt); // version, erase, blank check, programming
        QVERIFY(bench.sim().violations().isEmpty());
    }
};

QTEST_MAIN(tst_mainwindow)
#include "tst_mainwindow.moc"

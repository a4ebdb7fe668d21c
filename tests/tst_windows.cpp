// The completion dialog, the three information windows, and what the desktop
// sees of the windows: controls as a screen reader reads them, and the icon.
// The dialog's countdown is stepped by calling its timer procedure, so
// nothing waits ten seconds.
#include "harness.h"

#include "ui/frmAbout.h"
#include "ui/frmHistory.h"
#include "ui/frmInstructions.h"
#include "ui/frmSuccess.h"

#include <QAccessible>
#include <QtTest>
#include <QtWidgets>

namespace {

// The label's whole text fits inside it, in the font it is drawn in.
bool showsWholeText(const QLabel *label)
{
    const QRect room = label->contentsRect();
    return room.contains(label->fontMetrics().boundingRect(room, int(label->alignment()), label->text()));
}

using Open = QWidget *(*)(frmMain &main);
template<typename Window> QWidget *open(frmMain &main)
{
    return new Window(main);
}

QAccessibleInterface *describe(Bench &bench, const char *name)
{
    return QAccessible::queryAccessibleInterface(bench.child(name));
}

// What a label with a name of its own says, through its text interface.
QString spoken(QAccessibleInterface *iface)
{
    QAccessibleTextInterface *text = iface->textInterface();
    return text ? text->text(0, text->characterCount()) : QStringLiteral("<no text interface>");
}

} // namespace

class tst_windows : public QObject
{
    Q_OBJECT

private slots:
    void theDialogCountsDownFromTenAndClosesItselfAtZero()
    {
        Bench bench;
        QPointer<frmSuccess> dlg = new frmSuccess(bench.window());
        QVERIFY(bench->bSuccess);
        QCOMPARE(dlg->windowTitle(), QStringLiteral("AXR-574 Firmware Updated"));
        const auto *message = dlg->findChild<QLabel *>(QStringLiteral("lblMessage"));
        QCOMPARE(message->text(), QStringLiteral("Update was successfully finished."));
        QVERIFY(showsWholeText(message));
        QCOMPARE(dlg->okCaption(), QStringLiteral("OK [10 sec.]"));
        dlg->show();

        // The running timer drives the countdown; the test steps the rest.
        QTRY_COMPARE(dlg->secondsLeft(), 9);
        for (int left = 9; left > 0; --left) {
            QCOMPARE(dlg->okCaption(), QStringLiteral("OK [%1 sec.]").arg(left));
            QVERIFY(dlg->isVisible() && bench->bSuccess);
            dlg->tmrCountDown_Timer();
        }
        QCOMPARE(dlg->okCaption(), QStringLiteral("OK [0 sec.]"));
        QVERIFY(!dlg->isVisible() && !dlg->timerActive() && !bench->bSuccess);
        dlg->tmrCountDown_Timer(); // a tick already queued when it closed changes nothing
        QCOMPARE(dlg->okCaption(), QStringLiteral("OK [0 sec.]"));
        QTRY_VERIFY(dlg.isNull());
    }

    void closingTheDialogAnyWayClearsTheFlagAndTheNextCountsFromTen_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("OK clicked closes it at once") << "ok";
        QTest::newRow("the close box") << "close";
        QTest::newRow("Escape") << "escape";
        QTest::newRow("closed by the main window before it showed") << "hidden";
    }

    void closingTheDialogAnyWayClearsTheFlagAndTheNextCountsFromTen()
    {
        QFETCH(QString, how);
        Bench bench;
        QPointer<frmSuccess> dlg = new frmSuccess(bench.window());
        if (how != QLatin1String("hidden")) {
            dlg->show();
            dlg->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(dlg));
            dlg->tmrCountDown_Timer();
        }
        if (how == QLatin1String("ok"))
            QTest::mouseClick(dlg->findChild<QPushButton *>(QStringLiteral("OKButton")), Qt::LeftButton);
        else if (how == QLatin1String("escape"))
            bench.press(Qt::Key_Escape);
        else
            dlg->close();
        QVERIFY(!bench->bSuccess && !dlg->isVisible() && !dlg->timerActive());

        // The closed dialog is only deleted after the next one has loaded.
        std::unique_ptr<frmSuccess> next(new frmSuccess(bench.window()));
        QCOMPARE(next->okCaption(), QStringLiteral("OK [10 sec.]"));
        QTRY_VERIFY(dlg.isNull());
        QVERIFY(bench->bSuccess);
    }

    void theDialogOutlivingTheMainWindowClosesSafely()
    {
        auto bench = std::make_unique<Bench>();
        QPointer<frmSuccess> dlg = new frmSuccess(bench->window());
        bench.reset();
        dlg->OKButton_Click();
        QTRY_VERIFY(dlg.isNull());
    }

    void eachInformationWindowShowsItsTextWhole_data()
    {
        QTest::addColumn<Open>("open");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text"); // in tests/data/text
        QTest::newRow("the instructions") << &open<frmInstructions> << "AXR-574 Firmware Instructions"
                                          << "instructions";
        QTest::newRow("the history") << &open<frmHistory> << "AXR-574 Firmware Version History"
                                     << "history";
        QTest::newRow("the about box, closed by OK") << &open<frmAbout> << "About AXR-574 Firmware v1208"
                                                     << "about";
    }

    void eachInformationWindowShowsItsTextWhole()
    {
        QFETCH(Open, open);
        QFETCH(QString, title);
        QFETCH(QString, text);
        QFile file(QStringLiteral(AXR574_TESTDATA "/text/") + text + ".txt");
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
        const QStringList lines = QString::fromUtf8(file.readAll()).chopped(1).split('\n');

        Bench bench;
        QPointer<QWidget> w = open(bench.window());
        QCOMPARE(w->windowTitle(), title);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        if (auto *edit = w->findChild<QPlainTextEdit *>(QStringLiteral("txtText1"))) {
            QCOMPARE(edit->toPlainText().remove(QLatin1Char('\r')).split(QLatin1Char('\n')), lines);
            w->close();
        } else {
            auto *label = w->findChild<QLabel *>(QStringLiteral("lblMessage"));
            QVERIFY(label->text() == lines.join("\r\n") && showsWholeText(label));
            QTest::mouseClick(w->findChild<QPushButton *>(QStringLiteral("OKButton")), Qt::LeftButton);
        }
        QTRY_VERIFY(w.isNull());
    }

    // A screen reader hears a panel's or the message line's purpose as its name
    // and what it shows as its text, also once the text changes.
    void panelsAndTheMessageLineAreNamedAndSayWhatTheyShow()
    {
        Bench bench;
        const struct
        {
            const char *object, *name, *description, *shown;
        } labels[] = {
            {"StatusBar1Panel1", "Status", "Status", "Programming ...  25%"},
            {"StatusBar1Panel2", "Indicators", "Indicators: Erase, Blank Check, Program, Verify", "EB"},
            {"StatusBar1Panel3", "Error Data", "Error Data", "3B-FF-C4-01"},
            {"StatusBar1Panel4", "Firmware Version", "Firmware Version", "1123.00"},
            {"lblMessage", "Message", "", "Please wait."},
        };
        QCOMPARE(spoken(describe(bench, "StatusBar1Panel1")), QStringLiteral("For Help press F1"));
        for (int panel = 1; panel <= 4; ++panel)
            bench->setPanelText(panel, QLatin1String(labels[panel - 1].shown));
        bench->setMessage(QLatin1String(labels[4].shown));
        for (const auto &l : labels) {
            QAccessibleInterface *iface = describe(bench, l.object);
            QCOMPARE(iface->text(QAccessible::Name) + "|" + iface->text(QAccessible::Description) + "|" + spoken(iface),
                QString("%1|%2|%3").arg(l.name, l.description, l.shown));
            QCOMPARE(iface->role(), QAccessible::StaticText);
        }
    }

    // Named for what they ask, valued by their entry, with their list (and
    // edit field) below them and the list opening from them.
    void theBoxesAreNamedForWhatTheyAskAndValuedByTheirEntry()
    {
        Bench bench;
        QVERIFY(bench.show());
        bench.child("cboBaudrate")->setFocus();
        bench.press(Qt::Key_End);
        bench.child<QComboBox>("cboComPort")->lineEdit()->setFocus();
        bench.press(Qt::Key_A, Qt::ControlModifier);
        bench.type("12");
        for (const auto &[object, name, value, parts] :
            {std::tuple {"cboBaudrate", "Baudrate", "57600", 1}, std::tuple {"cboComPort", "COM Port", "12", 2}}) {
            QAccessibleInterface *box = describe(bench, object);
            QCOMPARE(box->text(QAccessible::Name) + "|" + box->text(QAccessible::Value), QString(name) + "|" + value);
            QCOMPARE(box->childCount(), parts);
            for (int i = 0; i < parts; ++i)
                QVERIFY(box->child(i)->parent() == box && box->indexOfChild(box->child(i)) == i);
            QCOMPARE(box->child(0)->role(), QAccessible::List);
            box->actionInterface()->doAction(QAccessibleActionInterface::showMenuAction());
            QTRY_VERIFY(bench.child<QComboBox>(object)->view()->isVisible());
            bench.child<QComboBox>(object)->hidePopup();
        }
    }

    // The programming stage counts 1920 steps; one of them is a twentieth of
    // a percent, not nothing and not a whole percent.
    void theProgressBarReportsPercentWithItsFineSteps()
    {
        Bench bench;
        QAccessibleValueInterface *value = describe(bench, "ProgressBar1")->valueInterface();
        QVERIFY(value && value->minimumValue().toDouble() == 0.0 && value->maximumValue().toDouble() == 100.0);
        bench->setProgressMax(1920);
        for (const auto &[step, percent, text] : {std::tuple {1, 0.05, "0%"}, std::tuple {480, 25.0, "25%"},
                 std::tuple {1919, 99.95, "99%"}, std::tuple {1920, 100.0, "100%"}}) {
            bench->setProgressValue(float(step));
            QCOMPARE(value->currentValue().toDouble(), percent);
            QCOMPARE(describe(bench, "ProgressBar1")->text(QAccessible::Value), QLatin1String(text));
        }
    }

    // Each size is a picture of its own, not a smaller one shown larger.
    void everyWindowCarriesTheIconInEverySize()
    {
        Bench bench;
        const std::unique_ptr<QWidget> about = std::make_unique<frmAbout>(bench.window());
        for (QWidget *w : {static_cast<QWidget *>(&bench.window()), about.get()}) {
            const QIcon icon = w->windowIcon();
            QCOMPARE(icon.availableSizes().size(), 8);
            for (int pixels : {16, 22, 24, 32, 48, 64, 128, 256})
                QCOMPARE(icon.pixmap(QSize(pixels, pixels)).size(), QSize(pixels, pixels));
        }
    }
};

QTEST_MAIN(tst_windows)
#include "tst_windows.moc"

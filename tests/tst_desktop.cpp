// What the desktop around the updater sees of it: its controls as a screen
// reader reads them, and its icon in each window.
#include "ui/frmAbout.h"
#include "ui/frmHistory.h"
#include "ui/frmInstructions.h"
#include "ui/frmMain.h"
#include "ui/frmSuccess.h"

#include <QAccessible>
#include <QtTest>
#include <QtWidgets>

namespace {

QAccessibleInterface *describe(frmMain &main, const QString &name)
{
    QWidget *widget = main.findChild<QWidget *>(name);
    return widget ? QAccessible::queryAccessibleInterface(widget) : nullptr;
}

// What a label with a name of its own says, through its text interface.
QString spoken(QAccessibleInterface *iface)
{
    QAccessibleTextInterface *text = iface->textInterface();
    return text ? text->text(0, text->characterCount()) : QStringLiteral("<no text interface>");
}

using Open = QWidget *(*)(frmMain &main);
template<typename Window> QWidget *open(frmMain &main)
{
    return new Window(main);
}

} // namespace

class tst_desktop : public QObject
{
    Q_OBJECT

private slots:
    void eachControlAndPanelIsNamedForWhatItIs_data()
    {
        QTest::addColumn<QString>("object");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("description"); // the tooltip
        QTest::addColumn<QString>("value");       // or the text a named label shows

        const int check = QAccessible::CheckBox, combo = QAccessible::ComboBox, text = QAccessible::StaticText,
                  bar = QAccessible::ProgressBar, button = QAccessible::Button;
        QTest::newRow("the check box without a caption") << "chkRemote"
                                                         << "Remote Program" << check << "Check for Remote Program"
                                                         << "";
        QTest::newRow("the port box, not COM1") << "cboComPort"
                                                << "COM Port" << combo << "COM Port"
                                                << "COM1";
        QTest::newRow("the baud box, not 9600") << "cboBaudrate"
                                                << "Baudrate" << combo << "Baudrate"
                                                << "9600";
        QTest::newRow("the message line") << "lblMessage"
                                          << "Message" << text << ""
                                          << "";
        QTest::newRow("the progress bar") << "ProgressBar1"
                                          << "Progress" << bar << "Progress Bar"
                                          << "0%";
        QTest::newRow("Program by its caption") << "cmdProgram"
                                                << "Program (F4)" << button << "Update Firmware"
                                                << "";
        QTest::newRow("Exit by its caption") << "cmdExit"
                                             << "Exit (ESC)" << button << "Exit"
                                             << "";
        QTest::newRow("panel 1") << "StatusBar1Panel1"
                                 << "Status" << text << "Status"
                                 << "For Help press F1";
        QTest::newRow("panel 2, empty") << "StatusBar1Panel2"
                                        << "Indicators" << text << "Indicators: Erase, Blank Check, Program, Verify"
                                        << "";
        QTest::newRow("panel 3, empty") << "StatusBar1Panel3"
                                        << "Error Data" << text << "Error Data"
                                        << "";
        QTest::newRow("panel 4, empty") << "StatusBar1Panel4"
                                        << "Firmware Version" << text << "Firmware Version"
                                        << "";
    }

    void eachControlAndPanelIsNamedForWhatItIs()
    {
        QFETCH(QString, object);
        QFETCH(QString, name);
        QFETCH(int, role);
        QFETCH(QString, description);
        QFETCH(QString, value);

        frmMain main;
        QAccessibleInterface *iface = describe(main, object);
        QVERIFY(iface);
        QCOMPARE(iface->text(QAccessible::Name), name);
        QCOMPARE(int(iface->role()), role);
        QCOMPARE(iface->text(QAccessible::Description), description);
        if (role == QAccessible::StaticText)
            QCOMPARE(spoken(iface), value);
        else
            QCOMPARE(iface->text(QAccessible::Value), value);
    }

    void namesHoldWhileValuesAndTextsChange()
    {
        frmMain main;
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));

        auto *baud = main.findChild<QComboBox *>(QStringLiteral("cboBaudrate"));
        baud->setFocus();
        QTest::keyClick(baud, Qt::Key_End);
        auto *port = main.findChild<QComboBox *>(QStringLiteral("cboComPort"));
        port->lineEdit()->setFocus();
        QTest::keyClick(port->lineEdit(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(port->lineEdit(), "12");
        for (const auto &[object, name, value] :
            {std::tuple {"cboBaudrate", "Baudrate", "57600"}, std::tuple {"cboComPort", "COM Port", "12"}}) {
            QAccessibleInterface *iface = describe(main, QLatin1String(object));
            QCOMPARE(iface->text(QAccessible::Name), QLatin1String(name));
            QCOMPARE(iface->text(QAccessible::Value), QLatin1String(value));
        }

        main.setMessage(QStringLiteral("Please wait."));
        main.setPanelText(1, QStringLiteral("Programming ...  25%"));
        main.setPanelText(2, QStringLiteral("EB"));
        main.setExitCaption(QStringLiteral("Cancel (ESC)"));
        QCOMPARE(spoken(describe(main, QStringLiteral("lblMessage"))), QStringLiteral("Please wait."));
        QAccessibleInterface *status = describe(main, QStringLiteral("StatusBar1Panel1"));
        QCOMPARE(status->text(QAccessible::Name), QStringLiteral("Status"));
        QCOMPARE(spoken(status), QStringLiteral("Programming ...  25%"));
        QCOMPARE(spoken(describe(main, QStringLiteral("StatusBar1Panel2"))), QStringLiteral("EB"));
        QCOMPARE(describe(main, QStringLiteral("cmdExit"))->text(QAccessible::Name), QStringLiteral("Cancel (ESC)"));
    }

    void theProgressBarReportsPercentWithItsFineSteps()
    {
        frmMain main;
        QAccessibleInterface *iface = describe(main, QStringLiteral("ProgressBar1"));
        QAccessibleValueInterface *value = iface->valueInterface();
        QVERIFY(value);
        QCOMPARE(value->minimumValue().toDouble(), 0.0);
        QCOMPARE(value->maximumValue().toDouble(), 100.0);

        // The programming stage counts 1920 steps; one of them is a twentieth
        // of a percent, not nothing and not a whole percent.
        main.setProgressMax(1920);
        for (const auto &[step, percent, text] : {std::tuple {1, 0.05, "0%"}, std::tuple {480, 25.0, "25%"},
                 std::tuple {1919, 99.95, "99%"}, std::tuple {1920, 100.0, "100%"}}) {
            main.setProgressValue(float(step));
            QCOMPARE(value->currentValue().toDouble(), percent);
            QCOMPARE(iface->text(QAccessible::Value), QLatin1String(text));
        }
    }

    void theCaptionLabelsTheCheckBoxAndTheBoxesKeepTheirParts()
    {
        frmMain main;
        QAccessibleInterface *check = describe(main, QStringLiteral("chkRemote"));
        QAccessibleInterface *caption = describe(main, QStringLiteral("lblRemote"));
        const auto labels = check->relations(QAccessible::Label);
        QCOMPARE(labels.size(), 1);
        QCOMPARE(labels.first().first, caption);
        const auto labelled = caption->relations(QAccessible::Labelled);
        QCOMPARE(labelled.size(), 1);
        QCOMPARE(labelled.first().first, check);

        // The list, and the edit field of the port box, hang below their box
        // and point back up to it; the list opens from the box.
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        for (const auto &[object, parts] : {std::pair {"cboComPort", 2}, std::pair {"cboBaudrate", 1}}) {
            QAccessibleInterface *box = describe(main, QLatin1String(object));
            QCOMPARE(box->childCount(), parts);
            for (int i = 0; i < parts; ++i) {
                QCOMPARE(box->child(i)->parent(), box);
                QCOMPARE(box->indexOfChild(box->child(i)), i);
            }
            QCOMPARE(box->child(0)->role(), QAccessible::List);
            auto *widget = main.findChild<QComboBox *>(QLatin1String(object));
            box->actionInterface()->doAction(QAccessibleActionInterface::showMenuAction());
            QTRY_VERIFY(widget->view()->isVisible());
            widget->hidePopup();
        }
    }

    void everyWindowCarriesTheIconInEverySize_data()
    {
        QTest::addColumn<Open>("open");
        QTest::newRow("main window") << Open(nullptr);
        QTest::newRow("completion dialog") << &open<frmSuccess>;
        QTest::newRow("instructions") << &open<frmInstructions>;
        QTest::newRow("version history") << &open<frmHistory>;
        QTest::newRow("about box") << &open<frmAbout>;
    }

    void everyWindowCarriesTheIconInEverySize()
    {
        QFETCH(Open, open);
        frmMain main;
        std::unique_ptr<QWidget> other(open ? open(main) : nullptr);
        const QIcon icon = (other ? other.get() : &main)->windowIcon();

        QList<QSize> sizes;
        for (int pixels : {16, 22, 24, 32, 48, 64, 128, 256})
            sizes << QSize(pixels, pixels);
        QCOMPARE(icon.availableSizes(), sizes);
        // Each size is a picture of its own, not a smaller one shown larger.
        for (const QSize &size : sizes)
            QCOMPARE(icon.pixmap(size).size(), size);
    }
};

QTEST_MAIN(tst_desktop)
#include "tst_desktop.moc"

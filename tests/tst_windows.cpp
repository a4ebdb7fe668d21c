// The completion dialog and the three information windows. The countdown is
// stepped by calling its timer procedure, so nothing waits ten seconds.
#include "ui/frmAbout.h"
#include "ui/frmHistory.h"
#include "ui/frmInstructions.h"
#include "ui/frmMain.h"
#include "ui/frmSuccess.h"

#include <QtTest>
#include <QtWidgets>

using Lines = QList<std::pair<int, QString>>; // line number, exact text

namespace {

// The label's whole text fits inside it, in the font it is drawn in.
bool showsWholeText(const QLabel *label)
{
    const QRect room = label->contentsRect();
    return room.contains(label->fontMetrics().boundingRect(room, int(label->alignment()), label->text()));
}

using Open = QWidget *(*)(frmMain &main, QString &text);

template<typename Window> QWidget *open(frmMain &main, QString &text)
{
    auto *w = new Window(main);
    text = w->text();
    return w;
}

} // namespace

class TestWindows : public QObject
{
    Q_OBJECT

private slots:
    void theDialogCountsDownFromTenAndClosesItselfAtZero()
    {
        frmMain main;
        QPointer<frmSuccess> dlg = new frmSuccess(main);
        QVERIFY(main.bSuccess);
        QCOMPARE(dlg->windowTitle(), QStringLiteral("AXR-574 Firmware Updated"));
        const auto *message = dlg->findChild<QLabel *>(QStringLiteral("lblMessage"));
        QCOMPARE(message->text(), QStringLiteral("Update was successfully finished."));
        QVERIFY(showsWholeText(message));
        QCOMPARE(dlg->findChild<QLabel *>(QStringLiteral("picAxeronLogo"))->pixmap().size(), QSize(71, 36));
        QCOMPARE(dlg->okCaption(), QStringLiteral("OK [10 sec.]"));
        dlg->show();

        // The running timer drives the countdown; the test steps the rest.
        QTRY_COMPARE(dlg->secondsLeft(), 9);
        for (int left = 9; left > 0; --left) {
            QCOMPARE(dlg->okCaption(), QStringLiteral("OK [%1 sec.]").arg(left));
            QVERIFY(dlg->isVisible() && main.bSuccess);
            dlg->tmrCountDown_Timer();
        }
        QCOMPARE(dlg->okCaption(), QStringLiteral("OK [0 sec.]"));
        QVERIFY(!dlg->isVisible() && !dlg->timerActive() && !main.bSuccess);

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
        QVERIFY(!main.bSuccess && !dlg->isVisible() && !dlg->timerActive());

        // The closed dialog is only deleted after the next one has loaded.
        std::unique_ptr<frmSuccess> next(new frmSuccess(main));
        QCOMPARE(next->okCaption(), QStringLiteral("OK [10 sec.]"));
        QTRY_VERIFY(dlg.isNull());
        QVERIFY(main.bSuccess);
    }

    void theDialogOutlivingTheMainWindowClosesSafely()
    {
        auto main = std::make_unique<frmMain>();
        QPointer<frmSuccess> dlg = new frmSuccess(*main);
        main.reset();
        dlg->OKButton_Click();
        QTRY_VERIFY(dlg.isNull());
    }

    void eachInformationWindowShowsItsExactLines_data()
    {
        QTest::addColumn<Open>("open");
        QTest::addColumn<QString>("title");
        QTest::addColumn<int>("count");
        QTest::addColumn<Lines>("spots");

        QTest::newRow("the instructions are seventeen lines")
            << &open<frmInstructions> << "AXR-574 Firmware Instructions" << 17
            << Lines {{0, "How to use:"}, {6, "      while turning on the power.  \"BOOTLOADER"},
                   {16, "10. Note the AXR-574 is reset to its factory defaults."}};
        QTest::newRow("the history runs from its heading to the first release")
            << &open<frmHistory> << "AXR-574 Firmware Version History" << 21
            << Lines {{0, "Firmware Version History:"}, {1, ""}, {2, "1208 (02/23/2012)"}, {18, ""},
                   {19, "0719 (05/14/2007)"}, {20, "- First release."}};
        QTest::newRow("the about box names version 1208 and OK closes it")
            << &open<frmAbout> << "About AXR-574 Firmware v1208" << 7
            << Lines {{0, "AXR-574 Firmware Version 1208"}, {1, ""}, {5, ""}, {6, "(c) 2007-2012  Firmware 12"}};
    }

    void eachInformationWindowShowsItsExactLines()
    {
        QFETCH(Open, open);
        QFETCH(QString, title);
        QFETCH(int, count);
        QFETCH(Lines, spots);

        frmMain main;
        QString text;
        QPointer<QWidget> w = open(main, text);
        QCOMPARE(w->windowTitle(), title);
        QVERIFY(!text.endsWith(QLatin1Char('\n')));
        const QStringList lines = text.split(QStringLiteral("\r\n"));
        QCOMPARE(lines.size(), count);
        for (const auto &[number, line] : spots)
            QCOMPARE(lines.at(number), line);

        // The window shows that text, whatever its widget makes of CR LF.
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        if (auto *edit = w->findChild<QPlainTextEdit *>(QStringLiteral("txtText1"))) {
            QCOMPARE(edit->toPlainText().remove(QLatin1Char('\r')).split(QLatin1Char('\n')), lines);
            w->close();
        } else {
            auto *label = w->findChild<QLabel *>(QStringLiteral("lblMessage"));
            QVERIFY(label->text() == text && showsWholeText(label));
            QTest::mouseClick(w->findChild<QPushButton *>(QStringLiteral("OKButton")), Qt::LeftButton);
        }
        QTRY_VERIFY(w.isNull());
    }
};

QTEST_MAIN(TestWindows)
#include "tst_windows.moc"

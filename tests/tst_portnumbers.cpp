// Port numbers while adapters come and go: the real numbering reads a port
// list the test sets, each entry a simulated unit's line, and the real window
// and serial code run the updates. A number must never pass to another device.
#include "harness.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLineEdit>
#include <QtTest>

#include <map>

class tst_portnumbers : public QObject
{
    Q_OBJECT

private slots:
    void aNumberStaysWithItsDevice_data();
    void aNumberStaysWithItsDevice();
};

void tst_portnumbers::aNumberStaysWithItsDevice_data()
{
    // Adapters A (ttyUSB0), B (ttyUSB1) and C (ttyUSB2), each with a unit
    // behind it. Steps: "+A" plugs A in, "-A" pulls it, "1=A" is a whole
    // update on port 1 that must reach A, "cancel 1=A" one cancelled while
    // erasing, "1=" an update on port 1 that must find no port, "tip 2=A" the
    // port list's tooltip of entry 2 naming A, "tip 1=-A" naming A as gone,
    // "tip 4=" naming nothing.
    // No step writes to a unit it does not name.
    QTest::addColumn<QString>("atStart");
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("the device behind port 1 goes away between runs, then comes back")
        << "AB" << QStringList {"cancel 1=A", "-A", "1=", "tip 1=-A", "+A", "tip 1=A", "1=A"};
    QTest::newRow("a device that appears later takes the next number")
        << "B" << QStringList {"+A", "tip 1=B", "tip 2=A", "2=A", "+C", "tip 3=C", "tip 4="};
    QTest::newRow("with the first of two pulled, port 2 still names the second")
        << "AB" << QStringList {"-A", "tip 1=-A", "tip 2=B", "2=B"};
    QTest::newRow("no device at start-up: the first one plugged in is port 1") << "" << QStringList {"1=", "+B", "1=B"};
}

void tst_portnumbers::aNumberStaysWithItsDevice()
{
    QFETCH(QString, atStart);
    QFETCH(QStringList, steps);

    std::map<QChar, SimUnit> units;
    QList<MSComm::SystemPort> present;
    auto entry = [&units](QChar adapter) {
        const QString name = QStringLiteral("ttyUSB%1").arg(adapter.unicode() - 'A');
        return MSComm::SystemPort {units[adapter].devicePath(), name, QStringLiteral("Adapter ") + adapter};
    };
    for (QChar adapter : QStringLiteral("ABC"))
        QVERIFY(units[adapter].start({}, simPath()));
    for (QChar adapter : atStart)
        present << entry(adapter);

    Bench bench;
    MSComm::setPortLister([&present] { return present; });
    QVERIFY(bench.show());
    auto *box = bench.child<QComboBox>("cboComPort");

    auto framesOf = [&units](QChar adapter) {
        SimUnit &unit = units[adapter];
        return unit.dump() ? unit.frames().size() : -1;
    };
    auto choosePort = [&](QChar port) {
        box->lineEdit()->setFocus();
        bench.press(Qt::Key_A, Qt::ControlModifier);
        bench.press(Qt::Key(port.unicode()));
    };

    for (const QString &step : steps) {
        std::map<QChar, qsizetype> before;
        for (auto &[adapter, unit] : units)
            before[adapter] = framesOf(adapter);
        bench.messages.clear();

        if (step.startsWith('+')) {
            present << entry(step[1]);
        } else if (step.startsWith('-')) {
            present.removeIf([&](const MSComm::SystemPort &p) { return p.location == units[step[1]].devicePath(); });
        } else if (step.startsWith("tip ")) {
            const int index = step[4].digitValue() - 1;
            const QString named = step.mid(6);
            box->setFocus();
            bench.press(Qt::Key_Down, Qt::AltModifier);
            QTRY_VERIFY(box->view()->isVisible());
            const QString tip = box->itemData(index, Qt::ToolTipRole).toString();
            bench.press(Qt::Key_Escape); // closes the list alone
            QTRY_VERIFY(!box->view()->isVisible());
            QVERIFY(bench->isVisible());
            if (named.isEmpty())
                QCOMPARE(tip, QStringLiteral("not present"));
            else if (named.startsWith('-'))
                QCOMPARE(tip, units[named[1]].devicePath() + ", not present");
            else
                QCOMPARE(tip, units[named[0]].devicePath() + ", Adapter " + named[0]);
        } else {
            const bool cancel = step.startsWith("cancel ");
            const QString run = cancel ? step.mid(7) : step;
            const QChar target = run.size() > 2 ? run[2] : QChar();
            choosePort(run[0]);
            if (cancel)
                bench.atWait(10, [&bench] { bench.press(Qt::Key_Escape); });
            bench.program();
            QCOMPARE(bench.unsettled(), QString());
            if (cancel) {
                QCOMPARE(bench.messageTexts(), QStringList {"Firmware update was cancelled."});
                QVERIFY(framesOf(target) > before[target]);
            } else if (target.isNull()) {
                QCOMPARE(bench.messageTexts(), QStringList {"Selected Com Port is not available."});
                QCOMPARE(bench->panelText(1), QStringLiteral("For Help press F1"));
            } else {
                QCOMPARE(bench.messageTexts(), QStringList());
                QVERIFY(bench->bSuccess);
                const QStringList commands = units[target].commands();
                QCOMPARE(commands.size() - before[target], fullRunCommands().size());
                QCOMPARE(commands.mid(before[target]), fullRunCommands());
                // Read and closed, as a person does before going on.
                QVERIFY(QTest::qWaitForWindowActive(bench->successDialog()));
                bench.press(Qt::Key_Return);
                QTRY_VERIFY(!bench->successDialog());
                QVERIFY(bench.show());
            }
            before.erase(target);
        }
        for (const auto &[adapter, frames] : before)
            QVERIFY2(framesOf(adapter) == frames, qPrintable(step + ": frames reached " + adapter));
    }
}

QTEST_MAIN(tst_portnumbers)
#include "tst_portnumbers.moc"

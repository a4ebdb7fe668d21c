// Port numbers while adapters come and go, and what the program says of a
// number that names no port: the real port list reads a system the test
// builds (SysTree), each adapter's node a simulated unit's line, and the
// real window and serial code run the updates. A number must never pass to
// another adapter.
#include "harness.h"

#include <QComboBox>
#include <QLineEdit>
#include <QProcess>
#include <QtTest>

#include <map>

namespace {

const QString kNotAvailable = QStringLiteral("Selected Com Port is not available.");

void choosePort(Bench &bench, QChar port)
{
    bench.child<QComboBox>("cboComPort")->lineEdit()->setFocus();
    bench.press(Qt::Key_A, Qt::ControlModifier);
    bench.press(Qt::Key(port.unicode()));
}

} // namespace

class tst_portnumbers : public QObject
{
    Q_OBJECT

private slots:
    void aNumberStaysWithItsAdapterAndAMissingOneIsExplained_data();
    void aNumberStaysWithItsAdapterAndAMissingOneIsExplained();
};

void tst_portnumbers::aNumberStaysWithItsAdapterAndAMissingOneIsExplained_data()
{
    // Adapters A, B and C have a unit each behind them, X is a USB device no
    // serial driver takes. Steps before "start" make the system the program
    // starts on, the others change it under the running program:
    // - "A@1-1" plugs A into USB socket 1-1 (the kernel names its tty
    //   ttyUSB<lowest free>), "-1-1" pulls what is in that socket, "unbind
    //   1-2" lets its driver go of it, "usbfs 1-2" has a program take it
    //   through usbfs, "holder 1-2" a program of ours hold that;
    // - "uart ttyS1 4" a UART of that type (0: an empty slot), "virtual
    //   rfcomm0" a tty without a driver, "hide" leaves no sysfs to read;
    // - "1=A" a whole update on port 1 that must reach A, "cancel 1=A" one
    //   cancelled while erasing, "1=" one that finds no port (and says the
    //   text after a blank, if given, after its first line);
    // - "tips ..." the port list's first tooltips, split at '|'.
    // In texts {root} is the system's folder, {A} A's node and name, {-A}
    // A's node as gone, {pid} the holder's. No step writes to a unit it does
    // not name.
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("the adapter behind port 1 goes away between runs, then comes back")
        << QStringList {"A@1-1", "B@1-2", "start", "cancel 1=A", "-1-1", "1=", "tips {-A}|{B}", "A@1-1", "tips {A}",
               "1=A"};
    QTest::newRow("an adapter that appears later takes the next number")
        << QStringList {"B@1-2", "start", "A@1-1", "tips {B}|{A}", "2=A", "C@1-3", "tips {B}|{A}|{C}|not present"};
    // The kernel hands the pulled adapter's name to the next one.
    QTest::newRow("another adapter under a freed name takes a number of its own")
        << QStringList {"A@1-1", "B@1-2", "start", "-1-1", "C@1-3",
               "1= COM1 was {root}/dev/ttyUSB0 (Adapter A), which is not there now.\r\n"
               "Ports present: COM2 ({root}/dev/ttyUSB1, Adapter B), COM3 ({root}/dev/ttyUSB0, Adapter C).",
               "3=C", "A@1-1", "tips {A}|{B}|{C}", "1=A"};
    QTest::newRow("Bluetooth and null-modem lines and a UART count, an empty slot and a terminal do not")
        << QStringList {"uart ttyS1 4", "uart ttyS2 0", "virtual tty1", "virtual tnt0", "virtual rfcomm0", "A@1-1",
               "start", "tips {A}|{root}/dev/rfcomm0|{root}/dev/tnt0|{root}/dev/ttyS1|not present",
               "6= Ports present: COM1 ({root}/dev/ttyUSB0, Adapter A), COM2 ({root}/dev/rfcomm0), COM3 "
               "({root}/dev/tnt0), COM4 ({root}/dev/ttyS1)."};
    QTest::newRow("without sysfs, the serial device names in /dev")
        << QStringList {"uart ttyS1 4", "virtual rfcomm0", "virtual tty1", "A@1-1", "hide", "start",
               "5= Ports present: COM1 ({root}/dev/ttyUSB0), COM2 ({root}/dev/rfcomm0), COM3 ({root}/dev/ttyS1)."};
    QTest::newRow("an adapter with no driver bound; another USB device without one is no adapter")
        << QStringList {"A@1-1", "B@1-2", "unbind 1-2", "X@1-4", "unbind 1-4", "start", "tips {A}|not present",
               "2= Ports present: COM1 ({root}/dev/ttyUSB0, Adapter A).\r\n"
               "Adapter B (0403:6001) in USB socket 1-2 has no port: no driver is bound to it."};
    QTest::newRow("an adapter taken through usbfs, by a program we cannot see, then by one we can")
        << QStringList {"B@1-2", "usbfs 1-2", "start",
               "1= No serial port is present.\r\nAdapter B (0403:6001) in USB socket 1-2 has no port: another "
               "program holds it through usbfs (brltty does this).",
               "holder 1-2",
               "1= No serial port is present.\r\nAdapter B (0403:6001) in USB socket 1-2 has no port: sleep "
               "(process {pid}) holds it through usbfs."};
}

void tst_portnumbers::aNumberStaysWithItsAdapterAndAMissingOneIsExplained()
{
    QFETCH(QStringList, steps);

    SysTree system;
    std::map<QChar, SimUnit> units;
    std::map<QChar, QString> ttyOf;
    for (QChar adapter : QStringLiteral("ABCX"))
        QVERIFY(units[adapter].start({}, simPath()));
    QProcess holder;
    std::unique_ptr<Bench> bench;
    auto expand = [&](QString text) {
        for (auto &[adapter, tty] : ttyOf)
            text.replace(QString("{%1}").arg(adapter), system.dev(tty) + ", Adapter " + adapter)
                .replace(QString("{-%1}").arg(adapter), system.dev(tty) + ", not present");
        return text.replace("{root}", system.root()).replace("{pid}", QString::number(holder.processId()));
    };
    auto framesOf = [&units](QChar adapter) {
        SimUnit &unit = units[adapter];
        return unit.dump() ? unit.frames().size() : -1;
    };

    for (const QString &step : steps) {
        std::map<QChar, qsizetype> before;
        for (auto &[adapter, unit] : units)
            before[adapter] = framesOf(adapter);
        const QStringList words = step.split(' ');
        if (step.contains('@')) {
            ttyOf[step[0]] = system.plug(step.mid(2), units[step[0]].devicePath(), "Adapter " + step.left(1),
                step[0] == 'X' ? "1234:5678" : "0403:6001");
        } else if (step.startsWith('-')) {
            system.pull(step.mid(1));
        } else if (words[0] == "uart") {
            system.addUart(words[1], words[2].toInt(), units['X'].devicePath());
        } else if (words[0] == "virtual") {
            system.addVirtual(words[1], units['X'].devicePath());
        } else if (words[0] == "unbind") {
            system.unbind(words[1]);
        } else if (words[0] == "usbfs") {
            system.claimThroughUsbfs(words[1]);
        } else if (words[0] == "holder") {
            holder.setStandardInputFile(system.root() + system.usbNode(words[1]));
            holder.start("sleep", {"60"});
            QVERIFY(holder.waitForStarted());
        } else if (step == "hide") {
            system.hideSysfs();
        } else if (step == "start") {
            bench = std::make_unique<Bench>();
            QVERIFY(bench->show());
        } else if (words[0] == "tips") {
            const QStringList tips = expand(step.mid(5)).split('|');
            QCOMPARE(bench->portTips(int(tips.size())), tips);
            QVERIFY((*bench)->isVisible());
        } else {
            const bool cancel = step.startsWith("cancel ");
            const QString run = cancel ? step.mid(7) : words[0];
            const QChar target = run.size() > 2 ? run[2] : QChar();
            bench->messages.clear();
            choosePort(*bench, run[0]);
            if (cancel)
                bench->atWait(10, [&] { bench->press(Qt::Key_Escape); });
            bench->program();
            QCOMPARE(bench->unsettled(), QString());
            if (cancel) {
                QCOMPARE(bench->messageTexts(), QStringList {"Firmware update was cancelled."});
                QVERIFY(framesOf(target) > before[target]);
            } else if (target.isNull()) {
                QCOMPARE(bench->messages.size(), 1);
                const QString text = bench->messages[0].text;
                QCOMPARE(text.section("\r\n", 0, 0), kNotAvailable);
                if (words.size() > 1)
                    QCOMPARE(text, kNotAvailable + "\r\n\r\n" + expand(step.section(' ', 1)));
                QCOMPARE((*bench)->panelText(1), QStringLiteral("For Help press F1"));
            } else {
                QCOMPARE(bench->messageTexts(), QStringList());
                // The unit's log is buffered: the last frame may not be in it yet.
                QVERIFY(units[target].dump());
                QCOMPARE(units[target].commands().mid(before[target]), fullRunCommands());
                // Read and closed, as a person does before going on.
                QVERIFY(QTest::qWaitForWindowActive((*bench)->successDialog()));
                bench->press(Qt::Key_Return);
                QTRY_VERIFY(!(*bench)->successDialog());
                QVERIFY(bench->show());
            }
            before.erase(target);
        }
        for (const auto &[adapter, frames] : before)
            QVERIFY2(framesOf(adapter) == frames, qPrintable(step + ": frames reached " + adapter));
    }
    holder.kill();
    holder.waitForFinished();
}

QTEST_MAIN(tst_portnumbers)
#include "tst_portnumbers.moc"

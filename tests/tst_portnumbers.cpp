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
    void aNumberStaysWithItsAdapter_data();
    void aNumberStaysWithItsAdapter();
    void thePortsOfTheSystemAndWhatIsMissing_data();
    void thePortsOfTheSystemAndWhatIsMissing();
};

void tst_portnumbers::aNumberStaysWithItsAdapter_data()
{
    // Adapters A, B and C, each with a unit behind it. Steps: "A@1-1" plugs A
    // into USB socket 1-1 (the kernel names it ttyUSB<lowest free>), "-1-1"
    // pulls what is in that socket, "1=A" is a whole update on port 1 that
    // must reach A, "cancel 1=A" one cancelled while erasing, "1=" an update
    // on port 1 that must find no port, "tip 2=A" the port list's tooltip of
    // entry 2 naming A, "tip 1=-A" naming A as gone, "tip 4=" naming nothing.
    // No step writes to a unit it does not name.
    QTest::addColumn<QStringList>("atStart");
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("the adapter behind port 1 goes away between runs, then comes back")
        << QStringList {"A@1-1", "B@1-2"}
        << QStringList {"cancel 1=A", "-1-1", "1=", "tip 1=-A", "A@1-1", "tip 1=A", "1=A"};
    QTest::newRow("an adapter that appears later takes the next number")
        << QStringList {"B@1-2"} << QStringList {"A@1-1", "tip 1=B", "tip 2=A", "2=A", "C@1-3", "tip 3=C", "tip 4="};
    // The kernel hands the pulled adapter's name to the next one.
    QTest::newRow("another adapter under a freed name takes a number of its own")
        << QStringList {"A@1-1", "B@1-2"}
        << QStringList {"-1-1", "C@1-3", "1=", "tip 3=C", "3=C", "A@1-1", "tip 1=A", "1=A", "tip 2=B"};
    QTest::newRow("no adapter at start-up: the first one plugged in is port 1")
        << QStringList() << QStringList {"1=", "B@1-2", "1=B"};
}

void tst_portnumbers::aNumberStaysWithItsAdapter()
{
    QFETCH(QStringList, atStart);
    QFETCH(QStringList, steps);

    SysTree system;
    std::map<QChar, SimUnit> units;
    std::map<QChar, QString> ttyOf;
    std::map<QString, QChar> inSocket;
    for (QChar adapter : QStringLiteral("ABC"))
        QVERIFY(units[adapter].start({}, simPath()));
    auto plug = [&](const QString &step) {
        const QChar adapter = step[0];
        inSocket[step.mid(2)] = adapter;
        ttyOf[adapter] = system.plug(step.mid(2), units[adapter].devicePath(), QStringLiteral("Adapter ") + adapter);
    };
    for (const QString &step : atStart)
        plug(step);

    Bench bench;
    QVERIFY(bench.show());
    auto framesOf = [&units](QChar adapter) {
        SimUnit &unit = units[adapter];
        return unit.dump() ? unit.frames().size() : -1;
    };

    for (const QString &step : steps) {
        std::map<QChar, qsizetype> before;
        for (auto &[adapter, unit] : units)
            before[adapter] = framesOf(adapter);
        bench.messages.clear();

        if (step.contains('@')) {
            plug(step);
        } else if (step.startsWith('-')) {
            system.pull(step.mid(1));
        } else if (step.startsWith("tip ")) {
            const int index = step[4].digitValue() - 1;
            const QString named = step.mid(6);
            const QString tip = bench.portTips(index + 1).value(index);
            QVERIFY(bench->isVisible());
            if (named.isEmpty())
                QCOMPARE(tip, QStringLiteral("not present"));
            else if (named.startsWith('-'))
                QCOMPARE(tip, system.dev(ttyOf[named[1]]) + ", not present");
            else
                QCOMPARE(tip, system.dev(ttyOf[named[0]]) + ", Adapter " + named[0]);
        } else {
            const bool cancel = step.startsWith("cancel ");
            const QString run = cancel ? step.mid(7) : step;
            const QChar target = run.size() > 2 ? run[2] : QChar();
            choosePort(bench, run[0]);
            if (cancel)
                bench.atWait(10, [&bench] { bench.press(Qt::Key_Escape); });
            bench.program();
            QCOMPARE(bench.unsettled(), QString());
            if (cancel) {
                QCOMPARE(bench.messageTexts(), QStringList {"Firmware update was cancelled."});
                QVERIFY(framesOf(target) > before[target]);
            } else if (target.isNull()) {
                QCOMPARE(bench.messages.size(), 1);
                QCOMPARE(bench.messages[0].text.section("\r\n", 0, 0), kNotAvailable);
                QCOMPARE(bench->panelText(1), QStringLiteral("For Help press F1"));
            } else {
                QCOMPARE(bench.messageTexts(), QStringList());
                QVERIFY(bench->bSuccess);
                const QStringList commands = units[target].commands();
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

void tst_portnumbers::thePortsOfTheSystemAndWhatIsMissing_data()
{
    // The system as the program finds it at start-up: "A@1-1" an adapter in
    // a socket ("X@" one that no serial driver would take), "uart ttyS1 4" a
    // UART of that type (0: an empty slot), "virtual rfcomm0" a tty without
    // a driver, "unbind 1-2" an adapter whose driver let go of it, "usbfs
    // 1-2" one a program took through usbfs, "holder 1-2" a program of ours
    // holding its USB device, "hide" no sysfs to read. Then the port list's
    // first tooltips, and what Program on a port without a device says after
    // its first line ({root}: the system's folder, {pid}: the holder's).
    QTest::addColumn<QStringList>("system");
    QTest::addColumn<QStringList>("tips");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("explained");
    QTest::newRow("Bluetooth and null-modem lines and a UART count, an empty slot and a terminal do not")
        << QStringList {"uart ttyS1 4", "uart ttyS2 0", "virtual tty1", "virtual tnt0", "virtual rfcomm0", "A@1-1"}
        << QStringList {"{root}/dev/ttyUSB0, Adapter A", "{root}/dev/rfcomm0", "{root}/dev/tnt0", "{root}/dev/ttyS1",
               "not present"}
        << 6
        << "Ports present: COM1 ({root}/dev/ttyUSB0, Adapter A), COM2 ({root}/dev/rfcomm0), COM3 ({root}/dev/tnt0), "
           "COM4 ({root}/dev/ttyS1).";
    QTest::newRow("without sysfs, the serial device names in /dev")
        << QStringList {"uart ttyS1 4", "virtual rfcomm0", "virtual tty1", "A@1-1", "hide"}
        << QStringList {"{root}/dev/ttyUSB0", "{root}/dev/rfcomm0", "{root}/dev/ttyS1", "not present"} << 5
        << "Ports present: COM1 ({root}/dev/ttyUSB0), COM2 ({root}/dev/rfcomm0), COM3 ({root}/dev/ttyS1).";
    QTest::newRow("an adapter with no driver bound; another USB device without one is no adapter")
        << QStringList {"A@1-1", "B@1-2", "unbind 1-2", "X@1-4", "unbind 1-4"}
        << QStringList {"{root}/dev/ttyUSB0, Adapter A", "not present"} << 2
        << "Ports present: COM1 ({root}/dev/ttyUSB0, Adapter A).\r\n"
           "Adapter B (0403:6001) in USB socket 1-2 has no port: no driver is bound to it.";
    QTest::newRow("an adapter taken through usbfs by a program we cannot see")
        << QStringList {"B@1-2", "usbfs 1-2"} << QStringList {"not present"} << 1
        << "No serial port is present.\r\n"
           "Adapter B (0403:6001) in USB socket 1-2 has no port: another program holds it through usbfs (brltty does "
           "this).";
    QTest::newRow("an adapter taken through usbfs by a program we can see")
        << QStringList {"A@1-1", "B@1-2", "usbfs 1-2", "holder 1-2"}
        << QStringList {"{root}/dev/ttyUSB0, Adapter A", "not present"} << 3
        << "Ports present: COM1 ({root}/dev/ttyUSB0, Adapter A).\r\n"
           "Adapter B (0403:6001) in USB socket 1-2 has no port: sleep (process {pid}) holds it through usbfs.";
}

void tst_portnumbers::thePortsOfTheSystemAndWhatIsMissing()
{
    QFETCH(QStringList, system);
    QFETCH(QStringList, tips);
    QFETCH(int, port);
    QFETCH(QString, explained);

    SysTree tree;
    PtyLine line; // every node leads to it; nothing is written to it
    QProcess holder;
    for (const QString &step : system) {
        const QStringList words = step.split(' ');
        if (step.contains('@'))
            tree.plug(step.mid(2), line.slavePath(), "Adapter " + step.left(1),
                step[0] == 'X' ? QStringLiteral("1234:5678") : QStringLiteral("0403:6001"));
        else if (words[0] == "uart")
            tree.addUart(words[1], words[2].toInt(), line.slavePath());
        else if (words[0] == "virtual")
            tree.addVirtual(words[1], line.slavePath());
        else if (words[0] == "unbind")
            tree.unbind(words[1]);
        else if (words[0] == "usbfs")
            tree.claimThroughUsbfs(words[1]);
        else if (words[0] == "holder") {
            holder.setStandardInputFile(tree.usbNode(words[1]));
            holder.start("sleep", {"60"});
            QVERIFY(holder.waitForStarted());
        } else if (words[0] == "hide")
            tree.hideSysfs();
    }
    auto expand = [&](QString text) {
        return text.replace("{root}", tree.root()).replace("{pid}", QString::number(holder.processId()));
    };

    Bench bench;
    QVERIFY(bench.show());
    QStringList expected;
    for (const QString &tip : tips)
        expected << expand(tip);
    QCOMPARE(bench.portTips(int(tips.size())), expected);

    choosePort(bench, QChar('0' + port));
    bench.program();
    QCOMPARE(bench.unsettled(), QString());
    QCOMPARE(bench.messageTexts(), QStringList {kNotAvailable + "\r\n\r\n" + expand(explained)});
    QVERIFY(line.readAvailable().isEmpty());
    holder.kill();
    holder.waitForFinished();
}

QTEST_MAIN(tst_portnumbers)
#include "tst_portnumbers.moc"

// The Windows program under Wine against the simulated unit, through its
// real Win32 serial path: tst_win32.exe acts as the user and judges the
// window, this side judges what the unit saw. Needs the Windows build
// (scripts/windows) and root, which Wine's runner needs to hide this
// machine's console ports.
#include "harness.h"

#include <QProcess>
#include <QtTest>

#include <atomic>
#include <thread>

#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

const int kBootloaderEnd = 0x0800;

QString windowsBuild()
{
    const QString dir = qEnvironmentVariable("AXR574_WINDOWS_BUILD");
    return dir.isEmpty() ? QStringLiteral(AXR574_SOURCE_DIR "/build-windows") : dir;
}

} // namespace

class tst_underwine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void windowsProgramAgainstTheUnit_data();
    void windowsProgramAgainstTheUnit();

private:
    QString m_tests;
    QString m_prefix;
};

void tst_underwine::initTestCase()
{
    m_tests = windowsBuild() + QStringLiteral("/tests/wine/tst_win32.exe");
    m_prefix = windowsBuild() + QStringLiteral("/wineprefix");
    if (!QFile::exists(m_tests))
        QSKIP(qPrintable("no Windows build at " + windowsBuild() + " (scripts/windows makes one)"));
    if (::geteuid() != 0)
        QSKIP("Wine runs here only as root, in a namespace that hides the console ports");
}

void tst_underwine::windowsProgramAgainstTheUnit_data()
{
    QTest::addColumn<QString>("function"); // of tst_win32
    QTest::addColumn<QStringList>("unitArgs");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("frames");  // the unit receives the first so many of a whole run's
    QTest::addColumn<int>("stallMs"); // the program stopped once for so long, in its first program packet's wait
    const int all = int(fullRunCommands().size());
    // The verify's reply comes in two pieces: only the whole reply may count.
    const QString verify = QString::number(fullRunCommands().indexOf("0A01") + 1);
    QTest::newRow("whole update, the verify's reply split")
        << "wholeUpdateHoldsTheSystemAwakeExactlyWhileItRuns" << QStringList {"--pace", "--split-at", verify} << 1
        << all << 0;
    // One stop of the whole program, as a page fault or a busy machine makes.
    QTest::newRow("stopped for 50 ms in a wait")
        << "wholeUpdateHoldsTheSystemAwakeExactlyWhileItRuns" << QStringList {"--pace"} << 1 << all << 50;
    QTest::newRow("Cancel while erasing, COM12")
        << "cancelWhileErasingOnAPortAboveNine" << QStringList() << 12 << 1 + 100 << 0;
    QTest::newRow("dropped reply") << "lineFaultEndsTheRun" << QStringList {"--no-reply-at", "300"} << 1 << 300 << 0;
    QTest::newRow("line hung up") << "lineFaultEndsTheRun" << QStringList {"--hangup-at", "300"} << 1 << 300 << 0;
    // The unit gets every byte; only the driver's queue says otherwise.
    QTest::newRow("close that cannot drain the finish")
        << "closeThatCannotDrainIsNoSuccess" << QStringList() << 1 << all << 0;
    // Replies that come late, in the middle of the program plan: the wait
    // goes on poll by poll until the reply is whole, or until Cancel.
    const QString program = QString::number(fullRunCommands().indexOf("0202") + 500);
    QTest::newRow("a reply split, the second piece late")
        << "lateReplyIsAwaitedPollByPoll" << QStringList {"--split-at", program, "--split-gap-ms", "600"} << 1 << all
        << 0;
    QTest::newRow("a reply 900 ms late") << "lateReplyIsAwaitedPollByPoll"
                                         << QStringList {"--delay-at", program, "--delay-ms", "900"} << 1 << all << 0;
    QTest::newRow("Cancel mid-wait") << "cancelMidWaitEndsItAtTheNextPoll"
                                     << QStringList {"--delay-at", program, "--delay-ms", "900"} << 1 << program.toInt()
                                     << 0;
    QTest::newRow("port without device") << "portWithoutDeviceIsNotAvailable" << QStringList() << 1 << 0 << 0;
    QTest::newRow("port refused as in use") << "portRefusedByWindowsIsInUse" << QStringList() << 1 << 0 << 0;
    QTest::newRow("second instance") << "secondInstanceBringsTheFirstForward" << QStringList() << 1 << 0 << 0;
}

void tst_underwine::windowsProgramAgainstTheUnit()
{
    QFETCH(QString, function);
    QFETCH(QStringList, unitArgs);
    QFETCH(int, port);
    QFETCH(int, frames);
    QFETCH(int, stallMs);

    // Stalled updates take turns with updates left alone, so that what else
    // the machine does weighs on both: how soon the unit's replies come, and
    // so how long the program looks for them, differs from one update to the
    // next by up to half.
    QVector<double> stalled, alone;
    for (const int stall : stallMs ? QVector<int> {0, stallMs, 0, stallMs, 0} : QVector<int> {0}) {
        SimUnit sim;
        QVERIFY(sim.start(unitArgs, simPath()));
        QVERIFY(sim.dump());
        const QByteArray before = sim.memory();

        QProcess windows;
        windows.setProcessChannelMode(QProcess::MergedChannels);
        // Wine hands the environment on: the Windows program picks its own
        // platform, and finds where to make its marker.
        QTemporaryDir dir;
        QDir(dir.path()).mkdir(QStringLiteral("stall"));
        const QString marker = dir.filePath(QStringLiteral("stall/now")), pid = dir.filePath(QStringLiteral("pid"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment.insert(QStringLiteral("AXR574_STALL_MARKER"), "Z:" + marker);
        windows.setProcessEnvironment(environment);
        // Stops the Windows program once, just after it has made the marker,
        // as soon as it has been asleep for a few looks: in the wait's sleep,
        // not in a call to Wine's server.
        const int watch = inotify_init1(IN_CLOEXEC);
        inotify_add_watch(watch, QFile::encodeName(dir.filePath(QStringLiteral("stall"))).constData(), IN_CREATE);
        std::atomic<bool> over {false};
        std::thread staller([&, stall] {
            char events[4096];
            QFile program(pid), state;
            if (!stall || ::read(watch, events, sizeof events) <= 0 || over || !program.open(QIODevice::ReadOnly))
                return;
            const pid_t id = pid_t(program.readAll().trimmed().toInt());
            state.setFileName(QStringLiteral("/proc/%1/stat").arg(id));
            for (int asleep = 0, looks = 0; asleep < 5 && looks < 100 && state.open(QIODevice::ReadOnly); ++looks) {
                const QByteArray stat = state.readAll();
                state.close();
                asleep = stat.mid(stat.lastIndexOf(')') + 2, 1) == "S" ? asleep + 1 : 0;
                usleep(100);
            }
            ::kill(id, SIGSTOP);
            usleep(useconds_t(stall) * 1000);
            ::kill(id, SIGCONT);
        });
        // The Windows side's report goes to a file: its console output may
        // come after Wine has already returned.
        const QString report = dir.filePath(QStringLiteral("report.txt"));
        windows.start(QStringLiteral(AXR574_SOURCE_DIR "/tests/wine/wine-run"),
            {"--prefix", m_prefix, "--com", QString("%1=%2").arg(port).arg(sim.devicePath()), "--timeout", "240",
                "--pid-file", pid, "--", m_tests, "-o", "Z:" + report + ",txt", function});
        const bool finished = windows.waitForFinished(300000);
        over = true;
        QFile(marker).open(QIODevice::WriteOnly); // a staller still waiting ends
        staller.join();
        ::close(watch);
        QVERIFY(finished);
        QFile reported(report);
        reported.open(QIODevice::ReadOnly);
        const QString said = QString::fromLocal8Bit(windows.readAll() + reported.readAll()).remove(QLatin1Char('\r'));
        QVERIFY2(windows.exitStatus() == QProcess::NormalExit && windows.exitCode() == 0, qPrintable(said));
        const QRegularExpressionMatch cost = QRegularExpression("the rest cost ([0-9.]+) s").match(said);
        if (cost.hasMatch())
            (stall ? stalled : alone) << cost.captured(1).toDouble();

        QVERIFY(sim.dump());
        QVERIFY2(sim.violations().isEmpty(), qPrintable(sim.violations().join(" | ")));
        QCOMPARE(sim.commands(), fullRunCommands().mid(0, frames));
        const QByteArray after = sim.memory();
        QVERIFY(after.left(kBootloaderEnd) == before.left(kBootloaderEnd));
        if (function.startsWith("whole")) {
            QVERIFY(after == memoryAfterUpdate(before));
            for (const SimEvent &e : sim.frames())
                QCOMPARE(e.baud, 57600); // the rate picked reached the line
        }
    }
    // One stall may cost the next few exchanges, never the rest of the run.
    if (stallMs) {
        QString costs;
        QDebug(&costs) << "CPU after the stall" << stalled << "s, left alone" << alone << "s";
        qInfo("%s", qPrintable(costs));
        QVERIFY2(stalled.size() == 2 && alone.size() == 3
                && *std::min_element(stalled.begin(), stalled.end())
                    <= 1.3 * *std::max_element(alone.begin(), alone.end()),
            qPrintable(costs));
    }
}

QTEST_MAIN(tst_underwine)
#include "tst_underwine.moc"

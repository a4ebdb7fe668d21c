// axr574-bench: how close a whole update comes to the limit of the serial line.
//
// Every run is a complete update from Program to the finish packet, through
// the real main window and serial code, against a fresh axr574-sim (a unit
// leaves its bootloader after the finish packet). With --pace the unit answers
// no earlier than a real line could carry the packet and its reply, so the
// sum of all bytes of all packets and replies x 10 / baud, taken from the
// unit's own log, is a hard lower bound of the update's wall time; what the
// wall time adds to it is the updater's share.
//
// With --on wine the Windows build's axr574-bench-win32.exe makes the same
// updates under Wine (tests/wine/wine-run, as root), with COM1 on the unit:
// it reports the wall and CPU time, the unit's log gives the rest. Beside it,
// axr574-bench-floor.exe makes the same exchanges as a bare Win32 client that
// yields between looks at the port: the floor of what Wine and this machine
// allow, to which the Windows program's figures are given as ratios.
#include "sim/simclient.h"
#include "ui/frmMain.h"

#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

double monotonicNow()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double cpuSeconds()
{
    rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return std::nan("");
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// Nearest-rank percentile of an unsorted sample.
double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return std::nan("");
    std::sort(v.begin(), v.end());
    const std::size_t rank = std::size_t(std::ceil(p / 100.0 * double(v.size())));
    return v[std::min(v.size() - 1, rank == 0 ? 0 : rank - 1)];
}

struct RunResult
{
    bool ok = false;
    QString error;
    double wall = 0;                                 // Program to the end of cmdProgram_Click, s
    double bound = 0;                                // wire time of every byte the unit saw and sent, s
    double turnMedian = 0, turnP99 = 0, turnMax = 0; // s
    double ratio = 0;                                // wall / bound
    double cpuShare = 0;                             // CPU time / wall time
    double verdict = 0;                              // version read written to "no reply" message, s
    double late = 0;                                 // median of how much later than its wire time the unit answered, s
    double turnSum = 0, lateSum = 0;                 // totals over the update, s
    double ends = 0;                                 // Program to the first packet and the last packet to the end, s
    double netRatio = 0;                             // (wall - lateSum) / bound
    double exchanges = 0;
};

struct Config
{
    int baud = 57600;
    bool paced = true;
    bool noReply = false;
    bool wine = false;
    bool floor = false; // the bare Win32 client under Wine, not the program
};

class Runner
{
public:
    Runner(QString simPath, QString windowsBuild)
        : m_simPath(std::move(simPath))
        , m_windowsBuild(std::move(windowsBuild))
    { }
    RunResult run(const Config &config);

private:
    void runHere(const Config &config, SimUnit &sim, RunResult &r, QStringList &messages, double &tMessage);
    void runUnderWine(const Config &config, SimUnit &sim, RunResult &r, QStringList &messages);
    QString m_simPath;
    QString m_windowsBuild;
};

void Runner::runUnderWine(const Config &config, SimUnit &sim, RunResult &r, QStringList &messages)
{
    QTemporaryDir dir;
    const QString report = dir.filePath(QStringLiteral("report.txt"));
    QProcess wine;
    wine.setProcessChannelMode(QProcess::MergedChannels);
    // Wine hands the environment on: the Windows program picks its own platform.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    wine.setProcessEnvironment(environment);
    const QString exe
        = config.floor ? QStringLiteral("axr574-bench-floor.exe") : QStringLiteral("axr574-bench-win32.exe");
    wine.start(QStringLiteral(AXR574_SOURCE_DIR "/tests/wine/wine-run"),
        {"--prefix", m_windowsBuild + "/wineprefix", "--com", "1=" + sim.devicePath(), "--timeout", "600", "--",
            m_windowsBuild + "/bench/" + exe, QString::number(config.baud), "Z:" + report});
    wine.waitForFinished(660000);
    QFile file(report);
    const QStringList said
        = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split(QLatin1Char('\n')) : QStringList();
    const QStringList figures = said.value(0).split(QLatin1Char(' '));
    if (figures.size() != 4) {
        r.error = QStringLiteral("no report from Wine: ") + QString::fromLocal8Bit(wine.readAll()).trimmed();
        return;
    }
    if (!said.value(1).isEmpty())
        messages = said.value(1).split(QLatin1String(" | "));
    if (!config.noReply && (figures.at(0) != QLatin1String("ok") || !messages.isEmpty()))
        r.error = QStringLiteral("update under Wine did not succeed: ") + messages.join(QLatin1String(" | "));
    r.wall = figures.at(1).toDouble();
    r.cpuShare = figures.at(2).toDouble() / r.wall;
    // Its clock is not the unit's: the verdict is counted from Program here.
    r.verdict = figures.at(3).toDouble();
}

void Runner::runHere(const Config &config, SimUnit &sim, RunResult &r, QStringList &messages, double &tMessage)
{
    SimUnit *unit = &sim;
    MSComm::wirePort1([unit] { return unit->devicePath(); });

    auto window = std::make_unique<frmMain>();
    window->setMsgResponder([&](frmMain::MsgKind kind, const QString &, const QString &text) {
        if (messages.isEmpty())
            tMessage = monotonicNow();
        messages << text;
        return kind == frmMain::MsgKind::Question ? QMessageBox::No : QMessageBox::Ok;
    });
    window->show();
    window->sBaudrate = QString::number(config.baud);
    QCoreApplication::processEvents(); // first paint before the clock starts

    const double cpu0 = cpuSeconds();
    const double t0 = monotonicNow();
    window->cmdProgram_Click();
    const double t1 = monotonicNow();
    const double cpu1 = cpuSeconds();
    if (!config.noReply && (!window->bSuccess || !messages.isEmpty()))
        r.error = QStringLiteral("update did not succeed: ") + messages.join(QLatin1String(" | "));

    window.reset();
    MSComm::wirePort1(nullptr);
    r.wall = t1 - t0;
    r.cpuShare = (cpu1 - cpu0) / r.wall;
}

RunResult Runner::run(const Config &config)
{
    RunResult r;
    SimUnit sim;
    QStringList args;
    if (config.paced)
        args << QStringLiteral("--pace");
    if (config.noReply)
        args << QStringLiteral("--no-reply-at") << QStringLiteral("1");
    if (!sim.start(args, m_simPath)) {
        r.error = QStringLiteral("cannot start ") + m_simPath;
        return r;
    }
    QStringList messages;
    double tMessage = 0;
    if (config.wine)
        runUnderWine(config, sim, r, messages);
    else
        runHere(config, sim, r, messages, tMessage);
    sim.dump();
    const QVector<SimEvent> events = sim.events();
    sim.stop();

    QHash<int, SimEvent> frames;
    QVector<SimEvent> replies;
    for (const SimEvent &e : events) {
        if (e.ev == QLatin1String("frame") || e.ev == QLatin1String("wake"))
            frames.insert(e.n, e);
        else if (e.ev == QLatin1String("reply"))
            replies << e;
        else if (e.ev == QLatin1String("violation"))
            r.error = QStringLiteral("unit saw a violation: ") + e.what;
    }
    for (const SimEvent &f : frames)
        r.bound += double(f.raw.size()) * 10.0 / (f.baud > 0 ? f.baud : config.baud);
    std::vector<double> turns, lates;
    for (const SimEvent &reply : replies) {
        const SimEvent packet = frames.value(reply.n);
        const double baud = packet.baud > 0 ? packet.baud : config.baud;
        r.bound += double(reply.raw.size()) * 10.0 / baud;
        if (config.paced)
            lates.push_back(reply.tStart - packet.tFirst - double(packet.raw.size() + reply.raw.size()) * 10.0 / baud);
        const auto next = frames.constFind(reply.n + 1);
        if (next != frames.constEnd())
            turns.push_back(next->tFirst - reply.tEnd);
    }
    // The unit's clock is not the Windows program's: what lies outside the
    // packets' span is taken from the wall time, on both sides alike.
    if (frames.contains(1))
        r.ends = r.wall - (frames.value(int(frames.size())).tFirst - frames.value(1).tFirst);
    for (double t : turns)
        r.turnSum += t;
    for (double t : lates)
        r.lateSum += t;
    r.late = lates.empty() ? 0 : median(lates);
    r.exchanges = double(frames.size());
    r.ratio = r.wall / r.bound;
    r.netRatio = (r.wall - r.lateSum) / r.bound;
    r.turnMedian = median(turns);
    r.turnP99 = percentile(turns, 99);
    r.turnMax = turns.empty() ? std::nan("") : *std::max_element(turns.begin(), turns.end());

    if (config.noReply) {
        const QString expected = QStringLiteral("Error communicating with Port.");
        if (!frames.contains(1) || messages.value(0) != expected)
            r.error = QStringLiteral("expected \"%1\", got \"%2\"").arg(expected, messages.join(QLatin1String(" | ")));
        else if (!config.wine)
            r.verdict = tMessage - frames.value(1).tFirst;
    }
    r.ok = r.error.isEmpty();
    return r;
}

struct Row
{
    Config config;
    int runs = 0;
    QVector<RunResult> results;
    double of(double RunResult::*field) const
    {
        std::vector<double> v;
        for (const RunResult &r : results)
            v.push_back(r.*field);
        return median(v);
    }
};

// Resident set size of this process, in MB.
double residentMegabytes()
{
    long pages = 0, resident = 0;
    std::FILE *f = std::fopen("/proc/self/statm", "r");
    if (!f)
        return std::nan("");
    const int read = std::fscanf(f, "%ld %ld", &pages, &resident);
    std::fclose(f);
    return read == 2 ? double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0) : std::nan("");
}

// Several units updated one after another in one sitting: one window, Program
// pressed again while the last completion dialog still counts down. Prints
// the memory held after every tenth update.
int soak(int updates, const QString &simPath)
{
    frmMain window;
    QStringList messages;
    window.setMsgResponder([&](frmMain::MsgKind, const QString &, const QString &text) {
        messages << text;
        return QMessageBox::Ok;
    });
    window.show();
    std::printf("\n%-8s %9s\n", "updates", "RSS MB");
    for (int i = 1; i <= updates; ++i) {
        SimUnit sim;
        if (!sim.start({}, simPath)) {
            std::fprintf(stderr, "axr574-bench: cannot start %s\n", qPrintable(simPath));
            return 1;
        }
        SimUnit *unit = &sim;
        MSComm::wirePort1([unit] { return unit->devicePath(); });
        window.cmdProgram_Click();
        // Let the dialog paint and the last one's deletion happen, as they
        // would while a person reaches for the next unit.
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (!window.bSuccess || !messages.isEmpty()) {
            std::fprintf(stderr, "axr574-bench: update %d did not succeed: %s\n", i, qPrintable(messages.join(" | ")));
            return 1;
        }
        if (i % 10 == 0 || i == updates)
            std::printf("%-8d %9.1f\n", i, residentMegabytes());
        std::fflush(stdout);
    }
    MSComm::wirePort1(nullptr);
    return 0;
}

void usage(std::FILE *to)
{
    std::fputs("usage: axr574-bench [--runs N] [--slow-runs N] [--all-rates | --rates LIST] [--quick] [--soak N] "
               "[--on LIST] [--sim PATH]\n"
               "  --runs N       runs per figure (3)\n"
               "  --slow-runs N  runs per figure at 9600 baud and below (default: N, at most 2)\n"
               "  --all-rates    also 4800, 19200 and 38400 baud\n"
               "  --rates LIST   paced rates to run, comma-separated (9600,57600)\n"
               "  --quick        one unpaced update and one no-reply verdict; checks that it runs\n"
               "  --soak N       N unpaced updates in one window; memory after every tenth\n"
               "  --on LIST      where the updater runs: linux, wine or linux,wine (linux); wine\n"
               "                 makes the paced rows and the verdict, and the floor client's paced\n"
               "                 rows, with the Windows build in $AXR574_WINDOWS_BUILD or\n"
               "                 " AXR574_SOURCE_DIR "/build-windows, as root\n"
               "  --sim PATH     the simulated unit (" AXR574_SIM_PATH ")\n",
        to);
}

} // namespace

int main(int argc, char *argv[])
{
    // No display is needed: the window is drawn off screen, as it is still drawn.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    int runs = 3;
    int slowRuns = -1;
    bool allRates = false;
    bool quick = false;
    int soakUpdates = 0;
    QVector<int> rates;
    bool onLinux = true, onWine = false;
    QString simPath = QStringLiteral(AXR574_SIM_PATH);
    const QStringList a = QCoreApplication::arguments();
    for (int i = 1; i < a.size(); ++i) {
        bool ok = true;
        if (a[i] == QLatin1String("--runs") && i + 1 < a.size())
            runs = a[++i].toInt(&ok);
        else if (a[i] == QLatin1String("--slow-runs") && i + 1 < a.size())
            slowRuns = a[++i].toInt(&ok);
        else if (a[i] == QLatin1String("--all-rates"))
            allRates = true;
        else if (a[i] == QLatin1String("--rates") && i + 1 < a.size()) {
            for (const QString &rate : a[++i].split(QLatin1Char(','))) {
                const int baud = rate.toInt(&ok);
                if (!ok)
                    break;
                rates << baud;
            }
        } else if (a[i] == QLatin1String("--quick"))
            quick = true;
        else if (a[i] == QLatin1String("--soak") && i + 1 < a.size())
            soakUpdates = a[++i].toInt(&ok);
        else if (a[i] == QLatin1String("--sim") && i + 1 < a.size())
            simPath = a[++i];
        else if (a[i] == QLatin1String("--on") && i + 1 < a.size()) {
            const QStringList on = a[++i].split(QLatin1Char(','));
            onLinux = on.contains(QLatin1String("linux"));
            onWine = on.contains(QLatin1String("wine"));
            ok = (onLinux || onWine) && on.size() == int(onLinux) + int(onWine);
        } else if (a[i] == QLatin1String("--help")) {
            usage(stdout);
            return 0;
        } else
            ok = false;
        if (!ok || runs < 1 || slowRuns == 0 || slowRuns < -1) {
            usage(stderr);
            return 2;
        }
    }
    // A paced update at 9600 baud takes most of a minute; two of them keep the
    // default set within a few minutes.
    if (slowRuns < 0)
        slowRuns = std::min(runs, 2);
    if (soakUpdates > 0)
        return soak(soakUpdates, simPath);

    QString windowsBuild = qEnvironmentVariable("AXR574_WINDOWS_BUILD");
    if (windowsBuild.isEmpty())
        windowsBuild = QStringLiteral(AXR574_SOURCE_DIR "/build-windows");
    if (onWine
        && (geteuid() != 0 || !QFile::exists(windowsBuild + "/bench/axr574-bench-win32.exe")
            || !QFile::exists(windowsBuild + "/bench/axr574-bench-floor.exe"))) {
        std::fprintf(stderr,
            "axr574-bench: --on wine needs root, %s/bench/axr574-bench-win32.exe and "
            "axr574-bench-floor.exe (scripts/windows makes them)\n",
            qPrintable(windowsBuild));
        return 2;
    }

    QVector<Row> rows;
    if (rates.isEmpty())
        rates = allRates ? QVector<int> {4800, 9600, 19200, 38400, 57600} : QVector<int> {9600, 57600};
    if (quick && onLinux) {
        rows.append(Row {Config {57600, false, false}, 1, {}});
        rows.append(Row {Config {57600, true, true}, 1, {}});
    } else if (onLinux) {
        for (int baud : rates)
            rows.append(Row {Config {baud, true, false}, baud <= 9600 ? slowRuns : runs, {}});
        rows.append(Row {Config {57600, false, false}, runs, {}});
        rows.append(Row {Config {57600, true, true}, runs, {}});
    }
    if (quick && onWine) {
        rows.append(Row {Config {57600, true, false, true}, 1, {}});
        rows.append(Row {Config {57600, true, false, true, true}, 1, {}});
    } else if (onWine) {
        for (int baud : rates) {
            rows.append(Row {Config {baud, true, false, true}, baud <= 9600 ? slowRuns : runs, {}});
            rows.append(Row {Config {baud, true, false, true, true}, baud <= 9600 ? slowRuns : runs, {}});
        }
        rows.append(Row {Config {57600, true, true, true}, 1, {}});
    }

    double load[1] = {0};
    getloadavg(load, 1);
    std::printf("axr574-bench %s  Qt %s  %d cores  load %.2f  %s\n",
        qPrintable(QDateTime::currentDateTime().toString(Qt::ISODate)), qVersion(), QThread::idealThreadCount(),
        load[0], qPrintable(QSysInfo::prettyProductName()));
    if (quick)
        std::printf("quick check: one run each\n");
    else
        std::printf("each figure is the median of %d runs (%d at 9600 baud and below)\n", runs, slowRuns);
    std::fflush(stdout);

    // Runs of every row take turns, so that what the machine does meanwhile
    // falls on all rows alike and their ratios hold within the sitting.
    Runner runner(simPath, windowsBuild);
    int failures = 0;
    const int mostRuns
        = std::max_element(rows.begin(), rows.end(), [](const Row &a, const Row &b) { return a.runs < b.runs; })->runs;
    for (int i = 0; i < mostRuns; ++i) {
        for (Row &row : rows) {
            if (i >= row.runs)
                continue;
            const RunResult r = runner.run(row.config);
            if (!r.ok) {
                std::fprintf(stderr, "axr574-bench: %d baud%s%s: %s\n", row.config.baud,
                    row.config.paced ? " paced" : "",
                    row.config.floor      ? " floor client"
                        : row.config.wine ? " under Wine"
                                          : "",
                    qPrintable(r.error));
                ++failures;
                continue;
            }
            row.results << r;
        }
    }

    const auto on = [](const Row &row) { return row.config.floor ? "floor" : row.config.wine ? "wine" : "linux"; };
    std::printf("\n%-6s %-5s %-5s %4s %5s %8s %8s %6s %6s %8s %8s %8s %5s\n", "baud", "on", "paced", "runs", "exch",
        "wall s", "bound s", "ratio", "net", "turn med", "turn p99", "turn max", "CPU");
    std::printf("%-6s %-5s %-5s %4s %5s %8s %8s %6s %6s %8s %8s %8s %5s\n", "", "", "", "", "", "", "", "", "", "ms",
        "ms", "ms", "%");
    for (const Row &row : rows) {
        if (row.results.isEmpty() || row.config.noReply)
            continue;
        char ratio[16] = "-", net[16] = "-";
        if (row.config.paced) {
            std::snprintf(ratio, sizeof ratio, "%.4f", row.of(&RunResult::ratio));
            std::snprintf(net, sizeof net, "%.4f", row.of(&RunResult::netRatio));
        }
        std::printf("%-6d %-5s %-5s %4d %5d %8.3f %8.3f %6s %6s %8.3f %8.3f %8.3f %5.1f\n", row.config.baud, on(row),
            row.config.paced ? "yes" : "no", int(row.results.size()), int(std::lround(row.of(&RunResult::exchanges))),
            row.of(&RunResult::wall), row.of(&RunResult::bound), ratio, net, row.of(&RunResult::turnMedian) * 1e3,
            row.of(&RunResult::turnP99) * 1e3, row.of(&RunResult::turnMax) * 1e3, row.of(&RunResult::cpuShare) * 100);
    }
    // Where the time above the bound went: the host's turnarounds, the unit
    // answering later than its wire time, Program to the first packet and
    // the last packet to the end, and the rest (mostly the unit's own writes
    // of its replies, which the host may already be reading).
    std::printf("\n%-6s %-5s %9s %9s %9s %9s %9s %9s\n", "baud", "on", "excess s", "turns s", "late s", "ends s",
        "rest s", "late med");
    std::printf("%-6s %-5s %9s %9s %9s %9s %9s %9s\n", "", "", "", "", "", "", "", "ms");
    for (const Row &row : rows) {
        if (row.results.isEmpty() || row.config.noReply || !row.config.paced)
            continue;
        const double excess = row.of(&RunResult::wall) - row.of(&RunResult::bound);
        const double turns = row.of(&RunResult::turnSum);
        const double late = row.of(&RunResult::lateSum);
        const double ends = row.of(&RunResult::ends);
        std::printf("%-6d %-5s %9.3f %9.3f %9.3f %9.3f %9.3f %9.3f\n", row.config.baud, on(row), excess, turns, late,
            ends, excess - turns - late - ends, row.of(&RunResult::late) * 1e3);
    }
    // The Windows program against the floor client of the same rate.
    bool floorHeader = false;
    for (const Row &row : rows) {
        const auto floor = std::find_if(rows.begin(), rows.end(), [&row](const Row &f) {
            return f.config.floor && f.config.baud == row.config.baud && !f.results.isEmpty();
        });
        if (!row.config.wine || row.config.floor || row.config.noReply || row.results.isEmpty() || floor == rows.end())
            continue;
        if (!floorHeader)
            std::printf("\n%-6s %-11s %8s %8s %8s\n", "baud", "ratio", "wall", "net", "CPU");
        floorHeader = true;
        std::printf("%-6d %-11s %8.4f %8.4f %8.3f\n", row.config.baud, "wine/floor",
            row.of(&RunResult::wall) / floor->of(&RunResult::wall),
            row.of(&RunResult::netRatio) / floor->of(&RunResult::netRatio),
            row.of(&RunResult::cpuShare) / floor->of(&RunResult::cpuShare));
    }
    std::printf("\n");
    for (const Row &row : rows) {
        if (!row.results.isEmpty() && row.config.noReply)
            std::printf("no reply to the version read, 57600 baud, %s: verdict after %.3f s%s (median of %d runs)\n",
                on(row), row.of(&RunResult::verdict), row.config.wine ? " from Program" : "", int(row.results.size()));
    }
    std::printf("wall: Program to the end of the update; bound: all bytes of all packets and replies\n"
                "x 10 / baud from the unit's log; net: (wall - the unit's lateness) / bound; turn: last\n"
                "byte of a reply to the first byte of the next packet as the unit saw them; CPU: the\n"
                "updater's user+system time / wall (under Wine, the Windows program's own process).\n"
                "floor: the same exchanges under Wine by a bare Win32 client yielding between looks at\n"
                "the port; wine/floor: the Windows program's medians over the floor client's.\n");
    return failures ? 1 : 0;
}

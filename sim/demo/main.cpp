// The updater with port 1 wired to a simulated unit on a pseudo-terminal, or
// to a device named on the command line. With --auto it runs one update by
// itself, reports it on stdout and judges it by what the unit saw.
#include "link/mscomm.h"
#include "sim/simclient.h"
#include "ui/appinfo.h"
#include "ui/frmMain.h"
#include "ui/quitsignals.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QTextStream>
#include <QTimer>

#include <cmath>
#include <cstdio>

namespace {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QString simExecutable()
{
    const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("axr574-sim"));
    return QFileInfo(beside).isExecutable() ? beside : QStringLiteral(AXR574_SIM_PATH);
}

bool saveShot(frmMain &window, const QString &path)
{
    const bool saved = window.grab().save(path);
    out() << (saved ? "screenshot: " : "screenshot failed: ") << QFileInfo(path).absoluteFilePath() << Qt::endl;
    return saved;
}

QString duringPath(const QString &path)
{
    const QFileInfo info(path);
    return info.dir().filePath(info.completeBaseName() + QStringLiteral("-during.")
        + (info.suffix().isEmpty() ? QStringLiteral("png") : info.suffix()));
}

// Prints the status panels and the progress whenever one of them changes.
class RunReporter : public QObject
{
public:
    RunReporter(frmMain &window, const QString &shotPath)
        : m_window(window)
        , m_shotPath(shotPath)
    {
        m_timer.setInterval(10);
        connect(&m_timer, &QTimer::timeout, this, &RunReporter::report);
        m_timer.start();
    }

    void report()
    {
        const float max = m_window.progressMax();
        const int percent = max > 0 ? int(std::floor(double(m_window.progressValue()) * 100.0 / double(max))) : 0;
        const QString line = QStringLiteral("[%1] [%2] [%3] %4%")
                                 .arg(m_window.panelText(1), m_window.panelText(2), m_window.panelText(4))
                                 .arg(percent);
        if (line != m_last) {
            out() << line << Qt::endl;
            m_last = line;
        }
        // Halfway through programming shows every surface at work.
        if (!m_shotTaken && m_window.panelText(1).startsWith(QLatin1String("Programming")) && percent >= 50) {
            m_shotTaken = true;
            saveShot(m_window, duringPath(m_shotPath));
        }
    }

private:
    frmMain &m_window;
    QString m_shotPath;
    QTimer m_timer;
    QString m_last;
    bool m_shotTaken = false;
};

int runAutomatically(frmMain &window, SimUnit *sim, const QString &shotPath)
{
    window.setMsgResponder([](frmMain::MsgKind kind, const QString &title, const QString &text) {
        out() << "message (" << title << "): " << QString(text).replace(QLatin1String("\r\n"), QLatin1String(" / "))
              << Qt::endl;
        return kind == frmMain::MsgKind::Question ? QMessageBox::Yes : QMessageBox::Ok;
    });

    QByteArray before;
    if (sim && sim->dump())
        before = sim->memory();

    RunReporter reporter(window, shotPath);
    auto *program = window.findChild<QPushButton *>(QStringLiteral("cmdProgram"));
    out() << "pressing " << program->text() << Qt::endl;
    program->click(); // returns when the run has ended
    reporter.report();

    const bool finished = window.bSuccess && window.panelText(1) == QLatin1String("Update Finished");
    saveShot(window, shotPath);
    if (frmSuccess *dialog = window.successDialog())
        dialog->close();

    if (!sim) {
        out() << (finished ? "update finished" : "update did not finish") << Qt::endl;
        return finished ? 0 : 1;
    }

    bool verified = sim->dump();
    bool finishSeen = false;
    for (const SimEvent &e : sim->events())
        finishSeen = finishSeen || e.ev == QLatin1String("finish");
    const QStringList violations = sim->violations();
    const bool memoryOk = verified && !before.isEmpty() && sim->memory() == memoryAfterUpdate(before);
    out() << "unit: finish " << (finishSeen ? "received" : "missing") << ", " << violations.size()
          << " violation(s), memory " << (memoryOk ? "holds the image" : "differs from the image") << Qt::endl;
    for (const QString &v : violations)
        out() << "violation: " << v << Qt::endl;
    verified = verified && finished && finishSeen && violations.isEmpty() && memoryOk;
    out() << (verified ? "update complete and verified" : "update NOT verified") << Qt::endl;
    return verified ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(appinfo::title());
    QApplication::setApplicationVersion(QStringLiteral(AXR574_VERSION_TEXT));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The AXR-574 firmware updater with port 1 wired to a "
                                                    "simulated unit, or to DEVICE when one is given."));
    parser.addHelpOption();
    const QCommandLineOption autoOption(QStringLiteral("auto"),
        QStringLiteral("Press Program, report the run, save a screenshot to FILE and exit."), QStringLiteral("FILE"));
    parser.addOption(autoOption);
    parser.addPositionalArgument(QStringLiteral("DEVICE"),
        QStringLiteral("Serial device for port 1 (no simulated unit)."), QStringLiteral("[DEVICE]"));
    parser.process(app);
    if (parser.positionalArguments().size() > 1)
        parser.showHelp(2);

    std::unique_ptr<SimUnit> sim;
    QString device;
    if (!parser.positionalArguments().isEmpty()) {
        device = parser.positionalArguments().constFirst();
    } else {
        sim = std::make_unique<SimUnit>();
        // Watched by a person, the unit answers no faster than a real line
        // would carry its replies; run by itself, it answers at once.
        const QStringList simArgs = parser.isSet(autoOption) ? QStringList {} : QStringList {QStringLiteral("--pace")};
        if (!sim->start(simArgs, simExecutable())) {
            std::fprintf(stderr, "axr574-demo: the simulated unit did not start (%s)\n", qPrintable(simExecutable()));
            return 2;
        }
        device = sim->devicePath();
    }
    MSComm::wirePort1([device] { return device; });
    out() << "port 1 is " << device << (sim ? " (simulated unit)" : "") << Qt::endl;

    int status = 0;
    QuitOnSignals quitOnSignals;
    {
        frmMain window;
        window.show();
        if (parser.isSet(autoOption)) {
            // Let the window come up and paint before the run takes over.
            QTimer::singleShot(300, &window, [&] {
                status = runAutomatically(window, sim.get(), parser.value(autoOption));
                window.close();
            });
        }
        const int exitCode = app.exec();
        if (!parser.isSet(autoOption))
            status = exitCode;
    }
    if (sim)
        sim->stop();
    return quitOnSignals.exitStatus(status);
}

// axr574-bench-win32: one whole update by the Windows program, run under Wine
// by axr574-bench --on wine with COM1 on the paced simulated unit. It reports
// what only this side knows, the update's wall time and the CPU time the
// program spent on it; everything else comes from the unit's log.
//
//   axr574-bench-win32 BAUD REPORT-FILE
#include "ui/frmMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>

#include <windows.h>

namespace {

// User and kernel time of every thread of this process, in seconds.
double cpuSeconds()
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    const auto seconds
        = [](const FILETIME &t) { return double(quint64(t.dwHighDateTime) << 32 | t.dwLowDateTime) * 1e-7; };
    return seconds(kernel) + seconds(user);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 3)
        return 2;

    frmMain window;
    QElapsedTimer clock;
    QStringList messages;
    double tMessage = 0;
    window.setMsgResponder([&](frmMain::MsgKind, const QString &, const QString &text) {
        if (messages.isEmpty())
            tMessage = double(clock.nsecsElapsed()) * 1e-9;
        messages << text;
        return QMessageBox::No;
    });
    window.show();
    window.sBaudrate = args.at(1);
    QCoreApplication::processEvents(); // first paint before the clock starts

    const double cpu0 = cpuSeconds();
    clock.start();
    window.cmdProgram_Click();
    const double wall = double(clock.nsecsElapsed()) * 1e-9;
    const double cpu = cpuSeconds() - cpu0;

    QFile report(args.at(2));
    if (!report.open(QIODevice::WriteOnly))
        return 1;
    report.write(QStringLiteral("%1 %2 %3 %4\n%5\n")
                     .arg(window.bSuccess ? "ok" : "failed")
                     .arg(wall, 0, 'f', 6)
                     .arg(cpu, 0, 'f', 6)
                     .arg(tMessage, 0, 'f', 6)
                     .arg(messages.join(QLatin1String(" | ")))
                     .toUtf8());
    return window.bSuccess ? 0 : 1;
}

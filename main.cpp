#include "ui/appinfo.h"
#include "ui/frmMain.h"
#include "ui/quitsignals.h"
#include "ui/singleinstance.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(appinfo::title());
    QApplication::setApplicationVersion(QStringLiteral(AXR574_VERSION_TEXT));
    // Wayland matches the window to its desktop entry, and so to its icon, by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral(AXR574_DESKTOP_ID));

    // Before the window, so that a signal during start-up also ends the
    // program as closing the window does.
    QuitOnSignals quitOnSignals;
    frmMain window;

    SingleInstance instance;
    if (claimOrHandOver(window, instance) != StartOutcome::Alone)
        return 1; // not started: a script that launched us can tell
    QObject::connect(
        &instance, &SingleInstance::raiseRequested, &window, [&window] { SingleInstance::bringToFront(&window); });

    window.show();
    return quitOnSignals.exitStatus(app.exec());
}

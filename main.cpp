#include "ui/appinfo.h"
#include "ui/frmMain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(appinfo::title());
    QApplication::setApplicationVersion(QStringLiteral(AXR574_VERSION_TEXT));

    frmMain window;
    window.show();
    return app.exec();
}

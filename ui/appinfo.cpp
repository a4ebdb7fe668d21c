#include "ui/appinfo.h"

#include <QGuiApplication>
#include <QIcon>

namespace appinfo {

namespace {

QIcon loadIcon()
{
    // The 64 px file keeps its plain name: it is also the installed icon.
    static const struct
    {
        int pixels;
        const char *file;
    } kSizes[] = {
        {16, ":/icons/axr574-16.png"},
        {22, ":/icons/axr574-22.png"},
        {24, ":/icons/axr574-24.png"},
        {32, ":/icons/axr574-32.png"},
        {48, ":/icons/axr574-48.png"},
        {64, ":/icons/axr574.png"},
        {128, ":/icons/axr574-128.png"},
        {256, ":/icons/axr574-256.png"},
    };
    QIcon icon;
    for (const auto &size : kSizes)
        icon.addFile(QString::fromLatin1(size.file), QSize(size.pixels, size.pixels));
    return icon;
}

} // namespace

QIcon icon()
{
    // Decoded once per process and kept by the application: every window
    // shares it, so the pixmaps drawn from it are cached once, not once per
    // completion dialog.
    if (QGuiApplication::windowIcon().isNull())
        QGuiApplication::setWindowIcon(loadIcon());
    return QGuiApplication::windowIcon();
}

} // namespace appinfo

#include "ui/infotexts.h"

#include "ui/appinfo.h"

namespace infotexts {

QString joinLines(const QStringList &lines)
{
    return lines.join(QStringLiteral("\r\n"));
}

QStringList instructionLines()
{
    // The indents line the continuation lines up under the step text; keep
    // the spaces as they are.
    return {
        QStringLiteral("How to use:"),
        QStringLiteral("1.   Connect AXR-574 to computer serial port."),
        QStringLiteral("2.   If the AXR-574 is located at a remote site, turn on"),
        QStringLiteral("      the AXR-574, check the Remote Program box, and"),
        QStringLiteral("      skip to Step 4."),
        QStringLiteral("3.   Press and hold [C-UP], [C-DN], [L-UP] and [L-DN]"),
        QStringLiteral("      while turning on the power.  \"BOOTLOADER"),
        QStringLiteral("      READY...\" message will appear."),
        QStringLiteral("4.   Select the COM Port the AXR-574 is attached to,"),
        QStringLiteral("      or enter higher port number if required."),
        QStringLiteral("5.   Select the Baudrate."),
        QStringLiteral("6.   Click [Program]."),
        QStringLiteral("7.   If at any time you want to stop, just click [Cancel]."),
        QStringLiteral("8.   Once completed, click [Exit] to exit the application."),
        QStringLiteral("9.   The AXR-574 will reset in 10 seconds, or you can"),
        QStringLiteral("      turn off the AXR-574 at any time."),
        QStringLiteral("10. Note the AXR-574 is reset to its factory defaults."),
    };
}

QStringList historyLines()
{
    // Newest release first; each release is preceded by an empty line.
    return {
        QStringLiteral("Firmware Version History:"),
        QString(),
        QStringLiteral("1208 (02/23/2012)"),
        QStringLiteral("- New: Added Tune Threshold setup menu item."),
        QString(),
        QStringLiteral("1123 (06/10/2011)"),
        QStringLiteral("- New: Added Auto Bypass setup menu item."),
        QString(),
        QStringLiteral("1031 (08/02/2010)"),
        QStringLiteral("- New: Added remote operation commands."),
        QStringLiteral("- Fix: Tuning with solid-state amps."),
        QString(),
        QStringLiteral("0737 (09/19/2007)"),
        QStringLiteral("- Change: Minor changes."),
        QString(),
        QStringLiteral("0734 (08/28/2007)"),
        QStringLiteral("- Change: Renamed Radio Port setup menu item to Rig Link."),
        QStringLiteral("- Fix: Antenna 2 position when power on."),
        QString(),
        QStringLiteral("0719 (05/14/2007)"),
        QStringLiteral("- First release."),
    };
}

QStringList aboutLines(const QString &sVersion)
{
    // The notice names the firmware generation by its major number alone.
    const QString major = QStringLiteral("%1").arg(appinfo::kMajor, 2, 10, QLatin1Char('0'));
    return {
        appinfo::title() + QStringLiteral(" Version ") + sVersion,
        QString(),
        QStringLiteral("Brackwater Tuner Works"),
        QStringLiteral("1187 Sorrelwick Lane"),
        QStringLiteral("Tamsholt Ridge, Elderfen"),
        QString(),
        QStringLiteral("(c) 2007-2012  Firmware ") + major,
    };
}

} // namespace infotexts

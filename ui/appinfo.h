// The program's identity: its title and the version of the firmware it carries.
#pragma once

#include <QString>

class QIcon;

namespace appinfo {

inline QString title()
{
    return QStringLiteral("AXR-574 Firmware");
}
inline constexpr int kMajor = AXR574_VERSION_MAJOR;
inline constexpr int kMinor = AXR574_VERSION_MINOR;

// Each number with at least two digits, major first: 12.8 gives "1208".
inline QString versionText(int major = kMajor, int minor = kMinor)
{
    return QStringLiteral("%1%2").arg(major, 2, 10, QLatin1Char('0')).arg(minor, 2, 10, QLatin1Char('0'));
}

// The program's icon in every size that title bars, task bars and switchers
// ask for, each drawn for its size rather than scaled from another.
QIcon icon();

} // namespace appinfo

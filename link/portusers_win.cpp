// Windows opens a serial port for one program at a time and refuses every
// other open itself, so there are no signs to look for before the open: its
// failure is the answer, and who holds the port stays unknown.
#include "portusers.h"

namespace portusers {

QList<std::optional<Holder>> findPortHolders(const QStringList &devices)
{
    return QList<std::optional<Holder>>(devices.size());
}

std::optional<Holder> findPortHolder(const QString &)
{
    return std::nullopt;
}

bool lockDevice(int, Holder *)
{
    return true;
}

QString describe(const QString &device, const Holder &)
{
    return QStringLiteral("%1 is open in another program.").arg(device);
}

} // namespace portusers

// The serial ports of Windows and macOS, as Qt lists them: from the system's
// device tables, without opening a port.
#include "systemports.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>

namespace systemports {

void setRoot(const QString &) { }

void setModuleDirectory(const QString &) { }

QList<SystemPort> list()
{
    QList<SystemPort> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
#ifdef Q_OS_MACOS
        // Each port is there twice; the cu.* side opens without waiting for carrier.
        if (!info.portName().startsWith(QLatin1String("cu.")))
            continue;
#endif
        SystemPort port;
        port.location = info.systemLocation();
        port.name = info.portName();
        port.description = info.description();
        port.usb = info.hasVendorIdentifier();
        // Windows gives each adapter a COM number of its own and keeps it.
        static const QRegularExpression comName(QStringLiteral("^COM([1-9][0-9]*)$"));
        const QRegularExpressionMatch com = comName.match(port.name);
        port.number = com.hasMatch() ? com.captured(1).toInt() : 0;
        port.identity = port.location;
        ports << port;
    }
    return ports;
}

QList<PortlessAdapter> portless()
{
    return {};
}

QString deviceForNumber(int number)
{
#ifdef Q_OS_WIN
    // The device namespace reaches COM10 and above, which plain names do not.
    return number < 1 ? QString() : QStringLiteral("\\\\.\\COM%1").arg(number);
#else
    Q_UNUSED(number);
    return QString();
#endif
}

SystemPort portOf(const QString &device)
{
    for (const SystemPort &port : list()) {
        if (port.location.compare(device, Qt::CaseInsensitive) == 0)
            return port;
    }
    SystemPort port;
    port.location = device;
    port.name = QFileInfo(device).fileName();
    port.identity = device;
    return port;
}

} // namespace systemports

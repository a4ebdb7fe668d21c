// The serial ports of Linux, from the kernel's own list in sysfs, where every
// tty with a driver behind it is a port and a UART slot with nothing fitted
// says so; Qt's list opens every 8250 port to find that out. Where sysfs
// cannot be read, the device names in /dev are taken, as Qt does then too.
#include "systemports.h"

#include "portusers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/utsname.h>

namespace {

QString &rootSlot()
{
    static QString root;
    return root;
}

QString &moduleDirectorySlot()
{
    static QString directory;
    return directory;
}

QString sysDir()
{
    return rootSlot() + QStringLiteral("/sys");
}

QString devDir()
{
    return rootSlot() + QStringLiteral("/dev");
}

QString readAttribute(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
}

// A line "KEY=value" of a uevent file.
QString ueventValue(const QString &dir, const QString &key)
{
    const QStringList lines = readAttribute(dir + QLatin1String("/uevent")).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(key + QLatin1Char('=')))
            return line.mid(key.size() + 1);
    }
    return QString();
}

QString linkName(const QString &link)
{
    const QString target = QFileInfo(link).symLinkTarget();
    return target.isEmpty() ? QString() : QFileInfo(target).fileName();
}

// Ports that have no hardware behind them but are serial lines all the same:
// Bluetooth serial links, virtual null-modem pairs, a USB gadget's serial
// function. The list Qt keeps of them.
bool isVirtualSerial(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^(rfcomm([0-9]|[1-9][0-9]|1[0-9][0-9]|2[0-4][0-9]|25[0-5])"
                                                           "|tnt[0-9]+|ttyGS[0-9]+)$"));
    return pattern.match(name).hasMatch();
}

// The names Qt takes from /dev when there is no sysfs to read.
const char *const kDeviceNamePatterns[] = {"ttyS*", "ttyO*", "ttyUSB*", "ttyACM*", "ttyGS*", "ttyMI*", "ttymxc*",
    "ttyAMA*", "ttyTHS*", "rfcomm*", "ircomm*", "tnt*"};

struct UsbPlace
{
    QString interfaceDir; // ".../1-1.2/1-1.2:1.0"
    QString deviceDir;    // ".../1-1.2"
};

// The USB interface and device above a device directory, when it hangs on USB.
std::optional<UsbPlace> usbPlaceOf(const QString &deviceDir)
{
    const QString top = QFileInfo(sysDir() + QLatin1String("/devices")).canonicalFilePath();
    QString dir = QFileInfo(deviceDir).canonicalFilePath();
    QString interfaceDir;
    while (!top.isEmpty() && dir.startsWith(top + QLatin1Char('/'))) {
        if (interfaceDir.isEmpty() && QFile::exists(dir + QLatin1String("/bInterfaceNumber")))
            interfaceDir = dir;
        if (QFile::exists(dir + QLatin1String("/idVendor")))
            return interfaceDir.isEmpty() ? std::nullopt : std::optional<UsbPlace>(UsbPlace {interfaceDir, dir});
        dir = QFileInfo(dir).path();
    }
    return std::nullopt;
}

// "0403:6001"
QString usbIds(const QString &deviceDir)
{
    return readAttribute(deviceDir + QLatin1String("/idVendor")) + QLatin1Char(':')
        + readAttribute(deviceDir + QLatin1String("/idProduct"));
}

QList<SystemPort> listFromDevDirectory()
{
    QList<SystemPort> ports;
    QDir dev(devDir());
    dev.setNameFilters([] {
        QStringList patterns;
        for (const char *pattern : kDeviceNamePatterns)
            patterns << QLatin1String(pattern);
        return patterns;
    }());
    dev.setFilter(QDir::Files | QDir::System);
    for (const QFileInfo &entry : dev.entryInfoList()) {
        struct stat node = {};
        if (::stat(QFile::encodeName(entry.absoluteFilePath()).constData(), &node) != 0 || !S_ISCHR(node.st_mode))
            continue;
        const QString name = entry.fileName();
        SystemPort port;
        port.location = entry.absoluteFilePath();
        port.name = name;
        port.identity = QStringLiteral("dev ") + name;
        port.usb = name.startsWith(QLatin1String("ttyUSB")) || name.startsWith(QLatin1String("ttyACM"));
        ports << port;
    }
    return ports;
}

// Every module of the running kernel that drives USB serial adapters, and
// the device patterns it takes, from the tables beside the modules.
QList<QByteArray> serialAdapterPatterns()
{
    QString dir = moduleDirectorySlot();
    if (dir.isEmpty()) {
        utsname system {};
        ::uname(&system);
        dir = rootSlot() + QStringLiteral("/lib/modules/") + QString::fromLocal8Bit(system.release);
    }
    auto moduleName = [](QByteArray path) {
        path = path.mid(path.lastIndexOf('/') + 1);
        path.truncate(path.indexOf(".ko"));
        return path.replace('-', '_');
    };
    QSet<QByteArray> drivers;
    QFile dep(dir + QLatin1String("/modules.dep"));
    if (dep.open(QIODevice::ReadOnly)) {
        while (!dep.atEnd()) {
            const QByteArray line = dep.readLine();
            const QByteArray module = line.left(line.indexOf(':'));
            if (module.contains("/drivers/usb/serial/") || module.contains("/drivers/usb/class/cdc-acm."))
                drivers.insert(moduleName(module));
        }
    }
    QList<QByteArray> patterns;
    QFile aliases(dir + QLatin1String("/modules.alias"));
    if (drivers.isEmpty() || !aliases.open(QIODevice::ReadOnly))
        return patterns;
    while (!aliases.atEnd()) {
        const QList<QByteArray> words = aliases.readLine().simplified().split(' ');
        if (words.size() == 3 && words[0] == "alias" && words[1].startsWith("usb:")
            && drivers.contains(QByteArray(words[2]).replace('-', '_')))
            patterns << words[1];
    }
    return patterns;
}

bool isSerialAdapter(const QString &interfaceDir, const QList<QByteArray> &patterns)
{
    // An ACM modem's class says so; anything else, the kernel's own tables.
    if (readAttribute(interfaceDir + QLatin1String("/bInterfaceClass")) == QLatin1String("02")
        && readAttribute(interfaceDir + QLatin1String("/bInterfaceSubClass")) == QLatin1String("02"))
        return true;
    const QByteArray alias = readAttribute(interfaceDir + QLatin1String("/modalias")).toLatin1();
    return std::any_of(patterns.begin(), patterns.end(), [&](const QByteArray &pattern) {
        return ::fnmatch(pattern.constData(), alias.constData(), 0) == 0;
    });
}

} // namespace

namespace systemports {

void setRoot(const QString &root)
{
    rootSlot() = root;
}

void setModuleDirectory(const QString &directory)
{
    moduleDirectorySlot() = directory;
}

QString deviceForNumber(int)
{
    return QString();
}

QList<SystemPort> list()
{
    const QString classDir = sysDir() + QStringLiteral("/class/tty");
    const QStringList names
        = QDir(classDir).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    if (names.isEmpty())
        return listFromDevDirectory();

    QList<SystemPort> ports;
    for (const QString &name : names) {
        const QString base = classDir + QLatin1Char('/') + name;
        const QString device = base + QLatin1String("/device");
        const bool driven = !linkName(device + QLatin1String("/driver")).isEmpty();
        // Virtual terminals, the console and pseudo-terminals have no driver.
        if (!driven && !isVirtualSerial(name))
            continue;
        // A UART slot with nothing fitted is of type 0, "unknown".
        const QString type = readAttribute(base + QLatin1String("/type"));
        if (!type.isEmpty() && type.toInt() == 0)
            continue;

        SystemPort port;
        const QString node = ueventValue(base, QStringLiteral("DEVNAME"));
        port.name = name;
        port.location = devDir() + QLatin1Char('/') + (node.isEmpty() ? name : node);
        port.sysfsPath = base;
        if (const std::optional<UsbPlace> usb = driven ? usbPlaceOf(device) : std::nullopt) {
            // The socket and what the adapter says it is: the kernel hands a
            // freed name to the next adapter, wherever that is plugged in.
            port.usb = true;
            port.description = readAttribute(usb->deviceDir + QLatin1String("/product"));
            const QString portNumber = readAttribute(device + QLatin1String("/port_number"));
            port.identity = QStringLiteral("usb %1%2 %3 %4")
                                .arg(QFileInfo(usb->interfaceDir).fileName(),
                                    portNumber.isEmpty() ? QString() : QLatin1Char('.') + portNumber,
                                    usbIds(usb->deviceDir), readAttribute(usb->deviceDir + QLatin1String("/serial")));
        } else if (driven) {
            port.identity = QStringLiteral("device ") + QFileInfo(base).canonicalFilePath().mid(rootSlot().size());
        } else {
            port.identity = QStringLiteral("virtual ") + name;
        }
        ports << port;
    }
    return ports;
}

QList<PortlessAdapter> portless()
{
    const QString usbDevices = sysDir() + QStringLiteral("/bus/usb/devices");
    QStringList withPort;
    for (const SystemPort &port : list())
        withPort << QFileInfo(port.sysfsPath).canonicalFilePath();

    QList<PortlessAdapter> adapters;
    std::optional<QList<QByteArray>> patterns; // read once, if ever needed
    for (const QString &name : QDir(usbDevices).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        if (!name.contains(QLatin1Char(':')))
            continue; // a device, not one of its interfaces
        const QString interfaceDir = QFileInfo(usbDevices + QLatin1Char('/') + name).canonicalFilePath();
        const QString driver = linkName(interfaceDir + QLatin1String("/driver"));
        if (!driver.isEmpty() && driver != QLatin1String("usbfs"))
            continue;
        if (std::any_of(withPort.begin(), withPort.end(),
                [&](const QString &tty) { return tty.startsWith(interfaceDir + QLatin1Char('/')); }))
            continue;
        if (!patterns)
            patterns = serialAdapterPatterns();
        if (!isSerialAdapter(interfaceDir, *patterns))
            continue;

        const QString deviceDir = QFileInfo(interfaceDir).path();
        const QString product = readAttribute(deviceDir + QLatin1String("/product"));
        PortlessAdapter adapter;
        adapter.adapter = QStringLiteral("%1 (%2) in USB socket %3")
                              .arg(product.isEmpty() ? QStringLiteral("A USB serial adapter") : product,
                                  usbIds(deviceDir), QFileInfo(deviceDir).fileName());
        if (driver.isEmpty()) {
            adapter.why = QStringLiteral("no driver is bound to it");
        } else {
            const QString node = QStringLiteral("%1/bus/usb/%2/%3")
                                     .arg(devDir())
                                     .arg(readAttribute(deviceDir + QLatin1String("/busnum")).toInt(), 3, 10,
                                         QLatin1Char('0'))
                                     .arg(readAttribute(deviceDir + QLatin1String("/devnum")).toInt(), 3, 10,
                                         QLatin1Char('0'));
            const std::optional<portusers::Holder> holder = portusers::findOpener(node);
            adapter.why = holder ? QStringLiteral("%1 (process %2) holds it through usbfs")
                                       .arg(holder->name.isEmpty() ? QStringLiteral("a program") : holder->name)
                                       .arg(holder->pid)
                                 : QStringLiteral("another program holds it through usbfs (brltty does this)");
        }
        adapters << adapter;
    }
    return adapters;
}

SystemPort portOf(const QString &device)
{
    const QString node = QFileInfo(device).canonicalFilePath();
    for (const SystemPort &port : list()) {
        if (!node.isEmpty() && QFileInfo(port.location).canonicalFilePath() == node)
            return port;
    }
    SystemPort port;
    port.location = device;
    port.name = QFileInfo(device).fileName();
    port.identity = QStringLiteral("dev ") + (node.isEmpty() ? device : node);
    return port;
}

} // namespace systemports

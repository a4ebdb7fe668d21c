// The serial ports the system has, listed without opening any of them: an
// open raises DTR and RTS on whatever hangs on the line. What is read where
// differs by platform (systemports_linux.cpp, systemports_qt.cpp); what the
// program makes of the list does not (portnumbering.cpp).
#pragma once

#include <QList>
#include <QString>

struct SystemPort
{
    QString location;    // "/dev/ttyUSB0", "\\.\COM3"
    QString name;        // "ttyUSB0", "COM3"
    QString description; // the adapter's own name, where known
    // What stays the same while the port is the same port: for a USB adapter
    // the socket it is plugged into and what it says it is, for a built-in
    // port its place among the system's devices, for a virtual one its name.
    QString identity;
    int number = 0;    // the system's own number for it (COM3 is 3), 0 where it gives none
    bool usb = false;  // attached through USB, as most units are
    QString sysfsPath; // Linux: the tty's directory in sysfs, where its driver's settings are
};

// A USB serial adapter the kernel sees that has no port.
struct PortlessAdapter
{
    QString adapter; // "FT232R USB UART (0403:6001) in USB socket 1-3"
    QString why;     // "no driver is bound to it"
};

namespace systemports {

QList<SystemPort> list();
QList<PortlessAdapter> portless();

// The device of a number that no listed port has: Windows' \\.\COMn (a port
// may work that the system does not list), nothing elsewhere.
QString deviceForNumber(int number);

// Linux: sysfs, /dev and the kernel's module tables are read under this root
// instead of /, and the module tables from this folder where one is given.
// Tests build a tree of their own there.
void setRoot(const QString &root);
void setModuleDirectory(const QString &directory);

// The port a device path leads to, looked up by its node; a path that leads
// to no listed port (a pseudo-terminal) gives a port of that path alone.
SystemPort portOf(const QString &device);

} // namespace systemports

// Who else holds a serial device. Windows refuses a second open of a port by
// itself; Linux and macOS let any number of programs open one, so the updater
// looks for the signs that the programs there leave: UUCP lock files, advisory
// locks and, on Linux, the open files of this user's processes.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace portusers {

struct Holder
{
    enum class How { LockFile, Flock, OpenFile };
    How how = How::OpenFile;
    qint64 pid = 0; // 0 when only the lock is known, not who took it
    QString name;   // the holder's program name, empty when not known
};

// Where lock files ("LCK..ttyUSB0") are looked for; an empty list restores
// the system's usual places. Tests point it at a directory of their own.
void setLockDirectories(const QStringList &directories);
QStringList lockDirectories();

// Where the process table is read (normally /proc); a directory without
// processes stands for holders this user cannot see.
void setProcessTable(const QString &directory);

// The checks that need no open of the device, cheapest first: a lock file that
// names a live process, then (Linux) a process that has the device open. This
// process never counts. One scan of the process table serves every device.
QList<std::optional<Holder>> findPortHolders(const QStringList &devices);
std::optional<Holder> findPortHolder(const QString &device);

// A process of this user that has this file open, whatever kind of file it
// is (a USB device node held through usbfs).
std::optional<Holder> findOpener(const QString &path);

// The process id a lock file's content names, 0 when it names none.
qint64 lockFilePid(const QByteArray &content);

// Takes the advisory lock on our own descriptor of the device. False when
// another descriptor holds it; `holder` then tells who, as far as known. Any
// other refusal (a system or device without such locks) counts as no lock.
bool lockDevice(int fd, Holder *holder);

// "/dev/ttyUSB0 is open in minicom (process 4242)."
QString describe(const QString &device, const Holder &holder);

} // namespace portusers

#include "portusers.h"

#include <QFile>
#include <QFileInfo>

#include <climits>
#include <cstring>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif
#ifdef Q_OS_MACOS
#include <libproc.h>
#endif

namespace portusers {

namespace {

QStringList &lockDirectorySlot()
{
    static QStringList directories;
    return directories;
}

QString &processTableSlot()
{
    static QString directory = QStringLiteral("/proc");
    return directory;
}

#ifdef Q_OS_UNIX

// Reads at most `limit` bytes; pseudo-files report no size, so read to the end.
QByteArray readSmallFile(const QByteArray &path, qsizetype limit)
{
    QByteArray data;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return data;
    char buffer[4096];
    while (data.size() < limit) {
        const ssize_t n = ::read(fd, buffer, size_t(qMin<qsizetype>(sizeof buffer, limit - data.size())));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        data.append(buffer, n);
    }
    ::close(fd);
    return data;
}

QString processName(qint64 pid)
{
#ifdef Q_OS_LINUX
    const QByteArray base = "/proc/" + QByteArray::number(pid);
    QString name = QString::fromLocal8Bit(readSmallFile(base + "/comm", 64).trimmed());
    // The kernel keeps 15 characters of the name; the command line has it whole.
    if (name.size() == 15) {
        const QByteArray argv0 = readSmallFile(base + "/cmdline", 4096).split('\0').value(0);
        const QString full = QFileInfo(QString::fromLocal8Bit(argv0)).fileName();
        if (full.startsWith(name))
            name = full;
    }
    return name;
#elif defined(Q_OS_MACOS)
    char buffer[256] = {};
    return proc_name(int(pid), buffer, sizeof buffer) > 0 ? QString::fromLocal8Bit(buffer) : QString();
#else
    Q_UNUSED(pid);
    return QString();
#endif
}

bool processAlive(qint64 pid)
{
    if (pid <= 0 || pid > INT_MAX || pid == ::getpid())
        return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// "LCK..ttyUSB0" for /dev/ttyUSB0, "LCK..pts_3" for /dev/pts/3; a device
// reached through a link is also looked for under the name of its node.
QStringList lockFileNames(const QString &device)
{
    auto nameOf = [](QString path) {
        if (path.startsWith(QLatin1String("/dev/")))
            path.remove(0, 5);
        path.replace(QLatin1Char('/'), QLatin1Char('_'));
        return QStringLiteral("LCK..") + path;
    };
    QStringList names {nameOf(device)};
    const QString node = QFileInfo(device).canonicalFilePath();
    if (!node.isEmpty() && nameOf(node) != names.first())
        names << nameOf(node);
    return names;
}

std::optional<Holder> lockFileHolder(const QString &device)
{
    for (const QString &directory : lockDirectories()) {
        for (const QString &name : lockFileNames(device)) {
            const qint64 pid = lockFilePid(readSmallFile(QFile::encodeName(directory + QLatin1Char('/') + name), 64));
            // A lock left by a process that is gone is stale.
            if (processAlive(pid))
                return Holder {Holder::How::LockFile, pid, processName(pid)};
        }
    }
    return std::nullopt;
}

#endif // Q_OS_UNIX

#ifdef Q_OS_LINUX

const dev_t kPtyMultiplexer = makedev(5, 2); // /dev/ptmx, /dev/pts/ptmx

// A terminal device other than the system's own (/dev/tty, the console, the
// pty multiplexer), by the kernel's table of tty drivers. Every process has
// /dev/null and the like open; only a terminal can be a serial port.
// `ptyIndex` is set to the pty's number for a pty slave, else -1.
bool isSerialCandidate(dev_t rdev, const QList<QByteArray> &drivers, int *ptyIndex)
{
    *ptyIndex = -1;
    const unsigned maj = major(rdev), min = minor(rdev);
    for (const QByteArray &line : drivers) {
        // "pty_slave  /dev/pts  136 0-1048575 pty:slave", "serial  /dev/ttyS  4  64 serial"
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() < 5 || f[2].toUInt() != maj)
            continue;
        const QList<QByteArray> range = f[3].split('-');
        const unsigned first = range[0].toUInt(), last = range.size() > 1 ? range[1].toUInt() : first;
        if (min < first || min > last)
            continue;
        if (f[4].startsWith("system"))
            return false;
        if (f[4] == "pty:slave")
            *ptyIndex = int(min - first);
        return true;
    }
    return false;
}

struct Target
{
    int index = 0;  // into the caller's list
    dev_t rdev = 0; // the device itself
    dev_t fsDev = 0;
    int ptyIndex = -1; // for a pty slave: the pty's number, else -1
    QByteArray node;   // the path the kernel shows for an open file of it
};

int ptyIndexOfMaster(const QByteArray &pidDir, const char *fdName)
{
    const QByteArray info = readSmallFile(pidDir + "/fdinfo/" + fdName, 1024);
    const int at = info.indexOf("tty-index:");
    if (at < 0)
        return -1;
    bool ok = false;
    const int index = info.mid(at + 10, info.indexOf('\n', at) - at - 10).trimmed().toInt(&ok);
    return ok ? index : -1;
}

// One pass over the process table for all targets. A link is looked at
// closely only when it names a target's node or the pty multiplexer, and the
// device numbers then decide: a stat of every open file would add much of the
// cost again, and one on a stalled network mount could hang. A second node of the
// same device under another name goes unseen.
void scanOpenFiles(QVector<Target> &targets, QList<std::optional<Holder>> &holders)
{
    bool anyPty = false;
    for (const Target &target : targets)
        anyPty = anyPty || target.ptyIndex >= 0;
    const QByteArray table = QFile::encodeName(processTableSlot());
    DIR *proc = ::opendir(table.constData());
    if (!proc)
        return;
    const pid_t self = ::getpid();
    int open = targets.size();
    QVector<bool> slave(targets.size()), master(targets.size());
    while (open > 0) {
        const dirent *entry = ::readdir(proc);
        if (!entry)
            break;
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self)
            continue;
        const QByteArray pidDir = table + '/' + entry->d_name;
        const int fdDir = ::open((pidDir + "/fd").constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fdDir < 0)
            continue; // another user's process, or one that just ended
        DIR *fds = ::fdopendir(fdDir);
        if (!fds) {
            ::close(fdDir);
            continue;
        }
        slave.fill(false);
        master.fill(false);
        while (const dirent *fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.')
                continue;
            char link[256];
            const ssize_t n = ::readlinkat(fdDir, fd->d_name, link, sizeof link - 1);
            if (n < 0 && errno == EACCES)
                break; // the list of a process we may not trace shows, its links do not
            if (n < 5 || std::strncmp(link, "/dev/", 5) != 0)
                continue;
            link[n] = '\0';
            bool named = anyPty && (!std::strcmp(link, "/dev/ptmx") || !std::strcmp(link, "/dev/pts/ptmx"));
            for (int t = 0; t < targets.size() && !named; ++t)
                named = targets[t].node == link;
            if (!named)
                continue;
            struct stat st = {};
            if (::fstatat(fdDir, fd->d_name, &st, 0) != 0 || !S_ISCHR(st.st_mode))
                continue;
            int masterIndex = -2; // not read yet
            for (int t = 0; t < targets.size(); ++t) {
                const Target &target = targets[t];
                // Pty numbers repeat between devpts instances: the file system counts too.
                if (st.st_rdev == target.rdev && (target.ptyIndex < 0 || st.st_dev == target.fsDev)) {
                    slave[t] = true;
                } else if (target.ptyIndex >= 0 && st.st_rdev == kPtyMultiplexer) {
                    if (masterIndex == -2)
                        masterIndex = ptyIndexOfMaster(pidDir, fd->d_name);
                    master[t] = master[t] || masterIndex == target.ptyIndex;
                }
            }
        }
        ::closedir(fds);
        for (int t = 0; t < targets.size(); ++t) {
            // The process at the master end of a pseudo-terminal is the far end
            // of the line, even when it keeps the slave open as well.
            if (slave[t] && !master[t] && !holders[targets[t].index]) {
                holders[targets[t].index] = Holder {Holder::How::OpenFile, pid, processName(pid)};
                --open;
            }
        }
    }
    ::closedir(proc);
}

#endif // Q_OS_LINUX

} // namespace

// HDB lock files hold the pid as text (padded to ten places, or as Qt writes
// it, followed by more lines); older ones hold it as a binary int. A pid never
// fills an int's top byte, so a binary one always has a NUL, which text never
// has; its other bytes may well look like digits or blanks.
qint64 lockFilePid(const QByteArray &content)
{
    if (content.size() == qsizetype(sizeof(int)) && content.contains('\0')) {
        int pid = 0;
        std::memcpy(&pid, content.constData(), sizeof pid);
        return pid;
    }
    int i = 0;
    while (i < content.size() && (content[i] == ' ' || content[i] == '\t'))
        ++i;
    if (i < content.size() && content[i] >= '0' && content[i] <= '9') {
        qint64 pid = 0;
        while (i < content.size() && content[i] >= '0' && content[i] <= '9' && pid < INT_MAX)
            pid = pid * 10 + (content[i++] - '0');
        return pid;
    }
    return 0;
}

void setLockDirectories(const QStringList &directories)
{
    lockDirectorySlot() = directories;
}

QStringList lockDirectories()
{
    if (!lockDirectorySlot().isEmpty())
        return lockDirectorySlot();
    // The usual homes of lock files; Qt's serial port writes to /tmp where
    // the others are closed to users.
    return {QStringLiteral("/var/lock"), QStringLiteral("/run/lock"), QStringLiteral("/var/lock/lockdev"),
        QStringLiteral("/var/spool/lock"), QStringLiteral("/var/spool/uucp"), QStringLiteral("/tmp")};
}

void setProcessTable(const QString &directory)
{
    processTableSlot() = directory.isEmpty() ? QStringLiteral("/proc") : directory;
}

QList<std::optional<Holder>> findPortHolders(const QStringList &devices)
{
    QList<std::optional<Holder>> holders(devices.size());
#ifdef Q_OS_UNIX
    for (int i = 0; i < devices.size(); ++i) {
        if (!devices[i].isEmpty())
            holders[i] = lockFileHolder(devices[i]);
    }
#endif
#ifdef Q_OS_LINUX
    QVector<Target> targets;
    const QList<QByteArray> drivers = readSmallFile("/proc/tty/drivers", 1 << 16).split('\n');
    for (int i = 0; i < devices.size(); ++i) {
        struct stat st = {};
        if (holders[i] || devices[i].isEmpty() || ::stat(QFile::encodeName(devices[i]).constData(), &st) != 0
            || !S_ISCHR(st.st_mode))
            continue;
        Target target {i, st.st_rdev, st.st_dev, -1, QFile::encodeName(QFileInfo(devices[i]).canonicalFilePath())};
        if (isSerialCandidate(st.st_rdev, drivers, &target.ptyIndex))
            targets << target;
    }
    if (!targets.isEmpty())
        scanOpenFiles(targets, holders);
#endif
    return holders;
}

std::optional<Holder> findPortHolder(const QString &device)
{
    return findPortHolders({device}).first();
}

std::optional<Holder> findOpener(const QString &path)
{
#ifdef Q_OS_LINUX
    const QByteArray wanted = QFile::encodeName(path);
    const QByteArray table = QFile::encodeName(processTableSlot());
    DIR *proc = ::opendir(table.constData());
    if (!proc)
        return std::nullopt;
    std::optional<Holder> holder;
    while (!holder) {
        const dirent *entry = ::readdir(proc);
        if (!entry)
            break;
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == ::getpid())
            continue;
        const QByteArray fdPath = table + '/' + entry->d_name + "/fd";
        DIR *fds = ::opendir(fdPath.constData());
        if (!fds)
            continue; // another user's process, or one that just ended
        while (const dirent *fd = ::readdir(fds)) {
            char link[PATH_MAX];
            const ssize_t n = ::readlinkat(::dirfd(fds), fd->d_name, link, sizeof link);
            if (n == wanted.size() && std::memcmp(link, wanted.constData(), size_t(n)) == 0) {
                holder = Holder {Holder::How::OpenFile, pid, processName(pid)};
                break;
            }
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    return holder;
#else
    Q_UNUSED(path);
    return std::nullopt;
#endif
}

bool lockDevice(int fd, Holder *holder)
{
#ifdef Q_OS_UNIX
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK)
        return true;
    if (holder) {
        *holder = Holder {Holder::How::Flock, 0, QString()};
#ifdef Q_OS_LINUX
        // The kernel's lock table names the holder even for another user's process.
        struct stat st = {};
        if (::fstat(fd, &st) == 0) {
            const QByteArray key = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':'
                + QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':'
                + QByteArray::number(qulonglong(st.st_ino));
            for (const QByteArray &line : readSmallFile("/proc/locks", 1 << 20).split('\n')) {
                const QList<QByteArray> f = line.simplified().split(' ');
                // "1: FLOCK  ADVISORY  WRITE 4242 00:19:4 0 EOF"; waiters have "->" second.
                if (f.size() >= 6 && f[1] == "FLOCK" && f[5] == key) {
                    const qint64 pid = f[4].toLongLong();
                    if (pid > 0 && pid != ::getpid()) {
                        holder->pid = pid;
                        holder->name = processName(pid);
                        break;
                    }
                }
            }
        }
#endif
    }
    return false;
#else
    Q_UNUSED(fd);
    Q_UNUSED(holder);
    return true;
#endif
}

QString describe(const QString &device, const Holder &holder)
{
    const QString who = holder.name.isEmpty() ? QStringLiteral("process %1").arg(holder.pid)
                                              : QStringLiteral("%1 (process %2)").arg(holder.name).arg(holder.pid);
    if (holder.how == Holder::How::OpenFile)
        return QStringLiteral("%1 is open in %2.").arg(device, who);
    if (holder.pid <= 0)
        return QStringLiteral("%1 is locked by another program.").arg(device);
    return QStringLiteral("%1 is locked by %2.").arg(device, who);
}

} // namespace portusers

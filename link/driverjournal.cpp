#include "driverjournal.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QSaveFile>
#include <QStandardPaths>

#include <unistd.h>

namespace driverjournal {

namespace {

// An entry is one file, so that runs of the program side by side (tests) never
// rewrite each other's.
struct Entry
{
    QString setting, key, boot, found, set;
    qint64 pid = 0;
    QString started; // the process's start time: its pid may be handed out again
};

QString &directorySlot()
{
    static QString directory;
    return directory;
}

QString journalDirectory()
{
    QString base = directorySlot();
    if (base.isEmpty()) {
        base = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        if (base.isEmpty())
            base = QDir::tempPath();
    }
    return QDir(base).filePath(QStringLiteral("axr574-firmware-%1-driver").arg(::geteuid()));
}

QString entryPath(const QString &setting, const QString &key)
{
    const QByteArray hash = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    return QDir(journalDirectory()).filePath(setting + QLatin1Char('-') + QString::fromLatin1(hash));
}

QString readLine(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
}

QString bootId()
{
    return readLine(QStringLiteral("/proc/sys/kernel/random/boot_id"));
}

// Field 22 of /proc/PID/stat, after the name in parentheses that may hold blanks.
QString startTime(qint64 pid)
{
    const QString stat = readLine(QStringLiteral("/proc/%1/stat").arg(pid));
    const int nameEnd = stat.lastIndexOf(QLatin1Char(')'));
    return nameEnd < 0 ? QString() : stat.mid(nameEnd + 2).split(QLatin1Char(' ')).value(19);
}

bool runs(const Entry &entry)
{
    return entry.boot == bootId() && !entry.started.isEmpty() && startTime(entry.pid) == entry.started;
}

bool isOurs(const Entry &entry)
{
    return entry.pid == ::getpid() && runs(entry);
}

std::optional<Entry> readEntry(const QString &path)
{
    QMap<QString, QString> fields;
    for (const QString &line : readLine(path).split(QLatin1Char('\n'))) {
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals > 0)
            fields.insert(line.left(equals), line.mid(equals + 1));
    }
    if (!fields.contains(QStringLiteral("key")) || !fields.contains(QStringLiteral("found")))
        return std::nullopt;
    return Entry {fields.value(QStringLiteral("setting")), fields.value(QStringLiteral("key")),
        fields.value(QStringLiteral("boot")), fields.value(QStringLiteral("found")), fields.value(QStringLiteral("set")),
        fields.value(QStringLiteral("pid")).toLongLong(), fields.value(QStringLiteral("started"))};
}

bool writeAttribute(const QString &path, const QString &value)
{
    QFile attribute(path);
    return attribute.open(QIODevice::WriteOnly | QIODevice::Unbuffered)
        && attribute.write(value.toUtf8()) == value.toUtf8().size();
}

} // namespace

void setDirectory(const QString &directory)
{
    directorySlot() = directory;
}

QString ownValue(const QString &setting, const QString &key, const QString &current)
{
    const QString path = entryPath(setting, key);
    const std::optional<Entry> entry = readEntry(path);
    if (!entry || entry->key != key)
        return current;
    // A run that still has the port open is not ours to undo.
    if (runs(*entry) && !isOurs(*entry))
        return current;
    // After a reboot, a replug or a change by hand the driver's value is its own.
    if (entry->boot != bootId() || current != entry->set) {
        QFile::remove(path);
        return current;
    }
    return entry->found;
}

bool record(const QString &setting, const QString &key, const QString &found, const QString &set)
{
    const QString started = startTime(::getpid());
    if (!QDir().mkpath(journalDirectory()) || started.isEmpty())
        return false;
    QSaveFile file(entryPath(setting, key));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QString text = QStringLiteral("setting=%1\nkey=%2\nboot=%3\npid=%4\nstarted=%5\nfound=%6\nset=%7\n")
                             .arg(setting, key, bootId())
                             .arg(::getpid())
                             .arg(started, found, set);
    file.write(text.toUtf8());
    return file.commit();
}

void forget(const QString &setting, const QString &key)
{
    QFile::remove(entryPath(setting, key));
}

void restoreAbandoned()
{
    const QDir dir(journalDirectory());
    for (const QString &name : dir.entryList(QDir::Files)) {
        const QString path = dir.filePath(name);
        const std::optional<Entry> entry = readEntry(path);
        if (!entry || runs(*entry))
            continue;
        if (entry->boot != bootId()) {
            QFile::remove(path);
            continue;
        }
        if (!entry->key.startsWith(QLatin1String("/")))
            continue; // put back at the port's next open
        // Only the dead run's own value is undone, never one set since.
        if (readLine(entry->key) != entry->set || writeAttribute(entry->key, entry->found))
            QFile::remove(path);
    }
}

} // namespace driverjournal

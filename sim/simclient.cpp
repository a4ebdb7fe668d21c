#include "simclient.h"

#include "link/frame.h"
#include "update/packets.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

SimUnit::~SimUnit()
{
    stop();
}

bool SimUnit::start(const QStringList &extraArgs, const QString &simPath)
{
    stop();
    m_tempDir = std::make_unique<QTemporaryDir>();
    if (!m_tempDir->isValid())
        return false;
    m_dir = m_tempDir->path();
    m_forgotten = 0;
    m_paths.clear();
    m_pending.clear();
    m_pathsSeen = 0;
    m_dumps = 0;
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(m_process.get(), &QProcess::readyReadStandardOutput, m_process.get(), [this] { readOutput(); });
    m_process->start(
        simPath, extraArgs + QStringList {"--log", m_dir + "/log.jsonl", "--memory", m_dir + "/memory.bin"});
    if (!m_process->waitForStarted(5000))
        return false;
    return waitForNewPath(5000);
}

bool SimUnit::waitFor(const std::function<bool()> &done, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (!m_process || m_process->state() != QProcess::Running || deadline.hasExpired())
            return false;
        // Also emits readyRead, so readOutput runs without an event loop.
        m_process->waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 100)));
    }
    return true;
}

void SimUnit::readOutput()
{
    m_pending += m_process->readAllStandardOutput();
    int nl;
    while ((nl = m_pending.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_pending.left(nl)).trimmed();
        m_pending.remove(0, nl + 1);
        if (line == QLatin1String("dumped"))
            ++m_dumps;
        else if (line.startsWith(QLatin1Char('/')))
            m_paths << line;
    }
}

bool SimUnit::waitForNewPath(int ms)
{
    if (!waitFor([this] { return m_paths.size() > m_pathsSeen; }, ms))
        return false;
    m_pathsSeen = m_paths.size();
    return true;
}

void SimUnit::attach(const QString &dir, const QString &devicePath)
{
    stop();
    m_dir = dir;
    m_paths = QStringList {devicePath};
    m_forgotten = 0;
}

void SimUnit::forget()
{
    m_forgotten = 0;
    m_forgotten = int(events().size());
}

bool SimUnit::dump()
{
    if (!m_process || m_process->state() != QProcess::Running)
        return false;
    const int target = m_dumps + 1;
    m_process->write("dump\n");
    return waitFor([this, target] { return m_dumps >= target; }, 5000);
}

void SimUnit::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->write("quit\n");
        m_process->closeWriteChannel();
        if (!m_process->waitForFinished(3000)) {
            m_process->kill();
            m_process->waitForFinished(1000);
        }
    }
    m_process.reset();
}

bool SimUnit::logReadable() const
{
    QFile file(m_dir + "/log.jsonl");
    return !m_dir.isEmpty() && file.open(QIODevice::ReadOnly);
}

QVector<SimEvent> SimUnit::events() const
{
    QVector<SimEvent> out;
    QFile file(m_dir + "/log.jsonl");
    if (m_dir.isEmpty() || !file.open(QIODevice::ReadOnly))
        return out;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.isEmpty())
            continue; // blank, or a line still being written
        SimEvent e;
        e.ev = o.value("ev").toString();
        e.n = o.value("n").toInt();
        e.tFirst = o.value("t_first").toDouble(o.value("t").toDouble());
        e.tLast = o.value("t_last").toDouble();
        e.tStart = o.value("t_start").toDouble();
        e.tEnd = o.value("t_end").toDouble();
        e.baud = o.value("baud").toInt();
        e.line = o.value("line").toString();
        e.raw = QByteArray::fromHex(o.value("raw").toString().toLatin1());
        e.cmd = o.value("cmd").toString();
        e.addr = o.value("addr").toInt(-1);
        e.what = o.contains("what") ? o.value("what").toString() : o.value("kind").toString();
        e.acked = o.value("acked").toBool();
        out << e;
    }
    return out.mid(m_forgotten);
}

QVector<SimEvent> SimUnit::frames() const
{
    QVector<SimEvent> out;
    for (const SimEvent &e : events())
        if (e.ev == QLatin1String("frame") || e.ev == QLatin1String("wake"))
            out << e;
    return out;
}

QStringList SimUnit::commands() const
{
    QStringList out;
    for (const SimEvent &e : frames())
        out << e.cmd;
    return out;
}

QStringList SimUnit::violations() const
{
    QStringList out;
    for (const SimEvent &e : events())
        if (e.ev == QLatin1String("violation"))
            out << e.what;
    return out;
}

QByteArray SimUnit::memory() const
{
    if (m_dir.isEmpty())
        return {};
    QFile file(m_dir + "/memory.bin");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray memoryAfterUpdate(const QByteArray &before)
{
    QByteArray memory = before;
    for (int address = 0x0800; address < 0x8000 && address < memory.size(); ++address)
        memory[address] = char(0xFF);
    for (std::size_t i = 0; i < firmware::ProgramPacketCount; ++i) {
        const auto body = frame::check(frame::fromHex(firmware::ProgramPackets[i]));
        if (!body)
            return {};
        const int address = (*body)[2] | (*body)[3] << 8 | (*body)[4] << 16;
        for (int k = 0; k < 16 && address + k < memory.size(); ++k)
            memory[address + k] = char((*body)[5 + k]);
    }
    return memory;
}

// Runs axr574-sim as a child process and reads back what the simulated unit
// saw: its event log and its memory.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>
#include <functional>
#include <memory>

struct SimEvent
{
    QString ev;        // "frame", "wake", "reply", "violation", "noise", "hangup", "finish", "fault"
    int n = 0;         // number of the received frame it concerns, counted from 1
    double tFirst = 0; // CLOCK_MONOTONIC seconds
    double tLast = 0;
    double tStart = 0;
    double tEnd = 0;
    int baud = 0;
    QString line; // data bits, parity, stop bits: "8N1"
    QByteArray raw;
    QString cmd;   // "0001", "0301", ...; "0000" for a wake frame
    int addr = -1; // -1 when the frame carries no address
    QString what;  // violation text, or fault kind
    bool acked = false;
};

class SimUnit
{
public:
    SimUnit() = default;
    ~SimUnit();
    SimUnit(const SimUnit &) = delete;
    SimUnit &operator=(const SimUnit &) = delete;

    // Starts the simulator with a log and a memory file of its own and waits
    // for its device path.
    bool start(const QStringList &extraArgs, const QString &simPath);
    QString devicePath() const { return m_paths.isEmpty() ? QString() : m_paths.last(); }
    // True once the simulator has offered a line newer than any seen by
    // start() or an earlier call (after a hang-up).
    bool waitForNewPath(int ms);
    // A unit started by someone else (beyond a virtual machine's share),
    // read through the folder that holds its log.jsonl and memory.bin.
    void attach(const QString &dir, const QString &devicePath);
    // Events logged so far no longer count.
    void forget();
    // Makes the simulator write its memory and flush its log.
    bool dump();
    void stop();

    // False when the unit's log cannot be read, which would count as no frames.
    bool logReadable() const;
    QVector<SimEvent> events() const;
    QVector<SimEvent> frames() const;
    QStringList commands() const;
    QStringList violations() const;
    QByteArray memory() const;

private:
    bool waitFor(const std::function<bool()> &done, int ms);
    void readOutput();

    std::unique_ptr<QProcess> m_process;
    std::unique_ptr<QTemporaryDir> m_tempDir;
    QString m_dir;
    int m_forgotten = 0;
    QByteArray m_pending;
    QStringList m_paths;
    int m_pathsSeen = 0;
    int m_dumps = 0;
};

// What a unit's memory holds after a complete update of `before` with the
// image the program carries: the region erased, then every unit written.
QByteArray memoryAfterUpdate(const QByteArray &before);

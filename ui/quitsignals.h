// The signals that end a program run in a session or from a terminal,
// SIGTERM (logout, shutdown), SIGHUP (its terminal closed) and SIGINT
// (Ctrl+C), end it as closing its window does: a run under way stops, the
// port closes in order and puts the driver's settings back, and the lock of
// the one instance goes with the rest. A second such signal ends it at once.
#pragma once

#include <QObject>

class QSocketNotifier;

class QuitOnSignals : public QObject
{
    Q_OBJECT

public:
    explicit QuitOnSignals(QObject *parent = nullptr);
    ~QuitOnSignals() override;

    // The signal that ended the program, 0 when none did.
    int caught() const { return m_caught; }
    // What main returns: 128 plus the signal's number, as a shell reports a
    // killed program, or the event loop's own status.
    int exitStatus(int status) const { return m_caught ? 128 + m_caught : status; }

private:
    void quit(int signal);

    QSocketNotifier *m_notifier = nullptr;
    int m_caught = 0;
};

// Shared test bench: the real main window wired to a simulated unit (or to a
// bare pseudo-terminal the test drives itself), with message boxes answered
// and recorded instead of shown.
#pragma once

#include "sim/simclient.h"
#include "ui/frmMain.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

struct RecordedMessage
{
    frmMain::MsgKind kind;
    QString title;
    QString text;
};

// A pseudo-terminal whose far end the test holds: it reads what the updater
// wrote and answers exactly when it wants to.
class PtyLine
{
public:
    PtyLine();
    ~PtyLine();
    bool isOpen() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }
    QByteArray readAvailable(int waitMs = 0);
    bool write(const QByteArray &bytes);
    void hangUp();
    // The rate the line is set to, as the far end sees it.
    int baud() const;

private:
    int m_master = -1;
    int m_slaveKeepAlive = -1;
    QString m_slavePath;
};

class Bench
{
public:
    Bench();
    ~Bench();

    frmMain &window() { return *m_window; }
    frmMain *operator->() { return m_window.get(); }

    // Starts a simulated unit and makes port 1 its line.
    bool startSim(const QStringList &args = {});
    SimUnit &sim() { return *m_sim; }
    // Makes port 1 the given device (a pseudo-terminal the test holds).
    void usePort1(const QString &device);

    // Answer to the replacement question.
    QMessageBox::StandardButton answer = QMessageBox::No;
    // Runs when a message box would show, before it is answered.
    std::function<void(const RecordedMessage &)> onMessage;
    QVector<RecordedMessage> messages;
    QStringList messageTexts() const;

    // Presses Program (the reaction itself; widget events are tested elsewhere).
    void program();
    // Program, then checks that the window came back to rest.
    bool programAndSettle();

    // Commands the unit received after the given frame number.
    QStringList commandsAfter(int frameNumber);

    // A fresh main window in place of the old one, as after a new start of the
    // program; the unit and its line stay as they are.
    void renewWindow();

private:
    void recordMessages();
    std::unique_ptr<frmMain> m_window;
    std::unique_ptr<SimUnit> m_sim;
};

QString simPath();

// Lets the program show its real message boxes and leaves each one up for a
// while, as a person reading it would, with the event loop running beneath;
// then presses the box's button. Counts the timer and descriptor events the
// program handles while a box is up, which is what wakes the processor.
class BoxReader : public QObject
{
public:
    explicit BoxReader(frmMain &window, int holdMs = 300);
    ~BoxReader() override;

    // The button pressed in a question; every other box gets OK.
    QMessageBox::StandardButton answer = QMessageBox::Yes;
    // Runs when a box has come up.
    std::function<void(QMessageBox *box)> onShown;

    QStringList texts;
    QVector<int> wakeups; // per box, in the order shown

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    frmMain &m_window;
    int m_holdMs;
    int m_counting = -1; // index of the box being counted
};

// Command texts of a complete update in the order the unit receives them.
QStringList fullRunCommands(bool wake = false);

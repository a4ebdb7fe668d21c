// Shared test bench: the real main window, driven with the keyboard and the
// mouse through QTest events, wired to a simulated unit (or to a bare
// pseudo-terminal the test drives itself). Message boxes are answered and
// recorded in place of a person, or shown for real and left up a while.
#pragma once

#include "sim/simclient.h"
#include "ui/frmMain.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

#include <functional>
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
    QString slavePath() const { return m_slavePath; }
    QByteArray readAvailable(int waitMs = 0);
    bool write(const QByteArray &bytes);

private:
    int m_master = -1;
    int m_slaveKeepAlive = -1;
    QString m_slavePath;
};

class Bench : public QObject
{
public:
    Bench();
    ~Bench() override;

    frmMain &window() { return *m_window; }
    frmMain *operator->() { return m_window.get(); }
    template<typename T = QWidget> T *child(const char *name) { return m_window->findChild<T *>(QLatin1String(name)); }

    // Starts a simulated unit and makes port 1 its line.
    bool startSim(const QStringList &args = {});
    SimUnit &sim() { return *m_sim; }
    // Makes port 1 the given device.
    void usePort1(const QString &device);

    // Shows the window and waits until it has the keyboard, as a person finds it.
    bool show();
    // A key as the keyboard delivers it: to an open menu, else to the widget
    // with the focus.
    void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier, bool autoRepeat = false);
    void type(const QString &text);
    void click(const char *name);
    // Opens the Help menu with the mouse and picks the item.
    void pickFromHelp(const char *item);
    // The port list's first tooltips, as a person sees them on opening it
    // from the keyboard and closing it with Escape; empty when it did not open.
    QStringList portTips(int count);
    // Clicks Program; returns when the run it starts has ended.
    void program();

    // Runs the action once, at the first poll of the given reply wait of a run
    // (counted from 1); polls counts the polls of that wait from then on.
    void atWait(int wait, std::function<void()> action);
    int waits = 0;
    int polls = 0;

    // What is not back at rest after a run, or an empty string.
    QString unsettled();

    // Message boxes. Answered at once with `answer` (OK for the rest), or,
    // after readBoxes(), shown for real and left up for a while with the
    // event loop running, counting the timer and descriptor events the
    // program handles meanwhile, which is what wakes the processor.
    QMessageBox::StandardButton answer = QMessageBox::No;
    void readBoxes(int holdMs);
    std::function<void(const RecordedMessage &)> onMessage;
    QVector<RecordedMessage> messages;
    QVector<int> wakeups; // per box left up
    QStringList messageTexts() const;

    // A fresh main window in place of the old one, as after a new start of the
    // program; the unit and its line stay as they are.
    void renewWindow();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void recordMessages();
    std::unique_ptr<frmMain> m_window;
    std::unique_ptr<SimUnit> m_sim;
    int m_holdMs = -1;
    int m_counting = -1; // index of the box being counted
};

// A system's serial devices built in a folder, which the real port list
// reads in place of the system's own (systemports::setRoot): sysfs as Linux
// shows it, /dev with each port's node a link to a line of the test's, and
// the running kernel's module tables naming one USB serial driver.
class SysTree
{
public:
    SysTree();
    ~SysTree();
    QString root() const { return m_dir.path(); }
    QString dev(const QString &name) const { return root() + "/dev/" + name; }

    // An adapter plugged into a USB socket ("1-3"); the kernel names its tty
    // ttyUSB<lowest free>. Adapters of other ids are no serial adapters to
    // the kernel's tables.
    QString plug(const QString &socket, const QString &line, const QString &product,
        const QString &ids = QStringLiteral("0403:6001"));
    void pull(const QString &socket);
    // The node of the adapter's USB device, which a program holds to use it through usbfs.
    QString usbNode(const QString &socket) const;
    // The adapter stays, its tty goes: its driver let go of it, or a program
    // took it through usbfs.
    void unbind(const QString &socket);
    void claimThroughUsbfs(const QString &socket);
    // Other ttys: a UART of the given type (0: an empty slot), and a tty
    // without a driver: a virtual serial line (rfcomm0, tnt0) or a terminal
    // (tty1).
    void addUart(const QString &name, int type, const QString &line);
    void addVirtual(const QString &name, const QString &line);
    // As where sysfs cannot be read: only /dev is left.
    void hideSysfs();

private:
    void write(const QString &path, const QByteArray &content);
    void link(const QString &path, const QString &target);
    QString usbDir(const QString &socket) const;
    QTemporaryDir m_dir;
    int m_devices = 1;
};

QString simPath();

// Visible top-level windows of this name ("frmHistory").
QWidgetList openWindows(const QString &name);

// Command texts of a complete update in the order the unit receives them.
QStringList fullRunCommands(bool wake = false);

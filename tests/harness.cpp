#include "harness.h"

#include "update/packets.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

PtyLine::PtyLine()
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (m_master < 0)
        return;
    ::grantpt(m_master);
    ::unlockpt(m_master);
    m_slavePath = QString::fromLocal8Bit(::ptsname(m_master));
    termios raw {};
    ::tcgetattr(m_master, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(m_master, TCSANOW, &raw);
    // Without a slave held open the master reads EIO between the updater's opens.
    m_slaveKeepAlive = ::open(m_slavePath.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
}

PtyLine::~PtyLine()
{
    if (m_slaveKeepAlive >= 0)
        ::close(m_slaveKeepAlive);
    if (m_master >= 0)
        ::close(m_master);
}

QByteArray PtyLine::readAvailable(int waitMs)
{
    QByteArray data;
    pollfd pfd {m_master, POLLIN, 0};
    int timeout = waitMs;
    while (m_master >= 0 && ::poll(&pfd, 1, timeout) > 0 && (pfd.revents & POLLIN)) {
        char buffer[4096];
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        data.append(buffer, n);
        timeout = 5;
    }
    return data;
}

bool PtyLine::write(const QByteArray &bytes)
{
    return m_master >= 0 && ::write(m_master, bytes.constData(), size_t(bytes.size())) == bytes.size();
}

QString simPath()
{
    return QStringLiteral(AXR574_SIM_PATH);
}

QWidgetList openWindows(const QString &name)
{
    QWidgetList found;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->objectName() == name && w->isVisible())
            found << w;
    return found;
}

Bench::Bench()
    : m_window(std::make_unique<frmMain>())
{
    recordMessages();
}

Bench::~Bench()
{
    MSComm::setPortResolver(nullptr);
    MSComm::setPortLister(nullptr);
    MSComm::setOutputQueueReader(nullptr);
    m_window.reset();
    if (m_sim)
        m_sim->stop();
}

void Bench::recordMessages()
{
    if (m_holdMs >= 0)
        return;
    m_window->setMsgResponder([this](frmMain::MsgKind kind, const QString &title, const QString &text) {
        messages.append({kind, title, text});
        if (onMessage)
            onMessage(messages.last());
        return kind == frmMain::MsgKind::Question ? answer : QMessageBox::Ok;
    });
}

void Bench::renewWindow()
{
    m_window.reset();
    m_window = std::make_unique<frmMain>();
    recordMessages();
}

bool Bench::startSim(const QStringList &args)
{
    m_sim = std::make_unique<SimUnit>();
    if (!m_sim->start(args, simPath()))
        return false;
    SimUnit *sim = m_sim.get();
    MSComm::setPortResolver([sim](int port) { return port == 1 ? sim->devicePath() : QString(); });
    return true;
}

void Bench::usePort1(const QString &device)
{
    MSComm::setPortResolver([device](int port) { return port == 1 ? device : QString(); });
}

bool Bench::show()
{
    m_window->show();
    m_window->activateWindow();
    return QTest::qWaitForWindowActive(m_window.get());
}

void Bench::press(Qt::Key key, Qt::KeyboardModifiers modifiers, bool autoRepeat)
{
    QWidget *target = QApplication::focusWidget() ? QApplication::focusWidget() : m_window.get();
    if (QWidget *popup = QApplication::activePopupWidget())
        target = popup->focusWidget() ? popup->focusWidget() : popup;
    if (!autoRepeat && key != Qt::Key_Alt) {
        QTest::keyClick(target, key, modifiers);
        return;
    }
    // A key held down repeats, and a lone Alt hands the keyboard to the menu
    // bar: neither is a click as QTest makes it.
    QPointer<QWidget> alive(target);
    QKeyEvent down(QEvent::KeyPress, key, modifiers, QString(), autoRepeat);
    QKeyEvent up(QEvent::KeyRelease, key, modifiers, QString(), autoRepeat);
    QApplication::sendEvent(target, &down);
    if (alive)
        QApplication::sendEvent(target, &up);
}

void Bench::type(const QString &text)
{
    QTest::keyClicks(QApplication::focusWidget(), text);
}

void Bench::click(const char *name)
{
    QTest::mouseClick(child(name), Qt::LeftButton);
}

void Bench::pickFromHelp(const char *item)
{
    QMenuBar *bar = m_window->menuBar();
    auto *help = child<QMenu>("mnuHelp");
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(help->menuAction()).center());
    if (QTest::qWaitFor([help] { return help->isVisible(); }))
        QTest::mouseClick(help, Qt::LeftButton, {}, help->actionGeometry(child<QAction>(item)).center());
}

void Bench::program()
{
    if (!m_window->isVisible())
        show();
    click("cmdProgram");
}

void Bench::atWait(int wait, std::function<void()> action)
{
    waits = polls = 0;
    m_window->onPoll = [this, wait, action, acted = false](int poll) mutable {
        if (acted) {
            ++polls;
        } else if (poll == 1 && ++waits == wait) {
            acted = true;
            action();
        }
    };
}

QString Bench::unsettled()
{
    frmMain &w = *m_window;
    QStringList wrong;
    if (!w.bStopped)
        wrong << "running";
    if (w.MSComm1.PortOpen())
        wrong << "port open";
    if (w.exitCaption() != QLatin1String("Exit (ESC)"))
        wrong << w.exitCaption();
    if (!w.message().isEmpty())
        wrong << "message " + w.message();
    for (const char *name : {"cmdProgram", "chkRemote", "lblRemote", "cboComPort", "cboBaudrate"})
        if (!child(name)->isEnabled())
            wrong << QLatin1String(name) + QLatin1String(" disabled");
    return wrong.join(QLatin1String(", "));
}

void Bench::readBoxes(int holdMs)
{
    m_holdMs = holdMs;
    m_window->setMsgResponder(nullptr);
    qApp->installEventFilter(this);
}

bool Bench::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (m_counting >= 0 && (type == QEvent::Timer || type == QEvent::SockAct || type == QEvent::SockClose))
        ++wakeups[m_counting];
    auto *box = qobject_cast<QMessageBox *>(watched);
    if (box && type == QEvent::Show && m_counting < 0) {
        const auto kind = box->icon() == QMessageBox::Question ? frmMain::MsgKind::Question
            : box->icon() == QMessageBox::Critical             ? frmMain::MsgKind::Error
                                                               : frmMain::MsgKind::Warning;
        messages.append({kind, box->windowTitle(), box->text()});
        wakeups << 0;
        m_counting = int(wakeups.size()) - 1;
        if (onMessage)
            onMessage(messages.last());
        QTimer::singleShot(m_holdMs, this, [this, shown = QPointer<QMessageBox>(box)] {
            m_counting = -1;
            QAbstractButton *button = shown ? shown->button(answer) : nullptr;
            if (shown && !button)
                button = shown->button(QMessageBox::Ok);
            if (button)
                button->click();
        });
    }
    return QObject::eventFilter(watched, event);
}

QStringList Bench::messageTexts() const
{
    QStringList texts;
    for (const RecordedMessage &m : messages)
        texts << m.text;
    return texts;
}

QStringList fullRunCommands(bool wake)
{
    return (wake ? QStringList {"0000", "0001"} : QStringList {"0001"})
        + QStringList(qsizetype(firmware::ErasePacketCount), "0301") + QStringList {"0A02"}
    + QStringList(qsizetype(firmware::ProgramPacketCount), "0202") + QStringList {"0A01", "0B01", "0001", "0801"};
}

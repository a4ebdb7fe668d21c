#include "harness.h"

#include "update/packets.h"

#include <QApplication>
#include <QPointer>
#include <QPushButton>
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
    hangUp();
}

QByteArray PtyLine::readAvailable(int waitMs)
{
    QByteArray data;
    if (m_master < 0)
        return data;
    pollfd pfd {m_master, POLLIN, 0};
    int timeout = waitMs;
    while (::poll(&pfd, 1, timeout) > 0 && (pfd.revents & POLLIN)) {
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

int PtyLine::baud() const
{
    termios t {};
    if (m_slaveKeepAlive < 0 || ::tcgetattr(m_slaveKeepAlive, &t) != 0)
        return 0;
    switch (::cfgetospeed(&t)) {
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    default: return -1;
    }
}

void PtyLine::hangUp()
{
    if (m_slaveKeepAlive >= 0)
        ::close(m_slaveKeepAlive);
    if (m_master >= 0)
        ::close(m_master);
    m_slaveKeepAlive = m_master = -1;
}

QString simPath()
{
    return QStringLiteral(AXR574_SIM_PATH);
}

Bench::Bench()
    : m_window(std::make_unique<frmMain>())
{
    recordMessages();
}

void Bench::recordMessages()
{
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

Bench::~Bench()
{
    MSComm::setPortResolver(nullptr);
    m_window.reset();
    if (m_sim)
        m_sim->stop();
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

QStringList Bench::messageTexts() const
{
    QStringList texts;
    for (const RecordedMessage &m : messages)
        texts << m.text;
    return texts;
}

void Bench::program()
{
    m_window->cmdProgram_Click();
}

bool Bench::programAndSettle()
{
    program();
    frmMain &w = *m_window;
    return w.bStopped && !w.MSComm1.PortOpen() && w.exitCaption() == QLatin1String("Exit (ESC)")
        && w.message().isEmpty() && w.runControlEnabled(frmMain::RunControl::cmdProgram)
        && w.runControlEnabled(frmMain::RunControl::chkRemote) && w.runControlEnabled(frmMain::RunControl::lblRemote)
        && w.runControlEnabled(frmMain::RunControl::cboComPort)
        && w.runControlEnabled(frmMain::RunControl::cboBaudrate);
}

QStringList Bench::commandsAfter(int frameNumber)
{
    QStringList after;
    for (const SimEvent &e : m_sim->frames()) {
        if (e.n > frameNumber)
            after << e.cmd;
    }
    return after;
}

QStringList fullRunCommands(bool wake)
{
    QStringList c;
    if (wake)
        c << "0000";
    c << "0001";
    for (std::size_t i = 0; i < firmware::ErasePacketCount; ++i)
        c << "0301";
    c << "0A02";
    for (std::size_t i = 0; i < firmware::ProgramPacketCount; ++i)
        c << "0202";
    c << "0A01"
      << "0B01"
      << "0001"
      << "0801";
    return c;
}

BoxReader::BoxReader(frmMain &window, int holdMs)
    : m_window(window)
    , m_holdMs(holdMs)
{
    m_window.setMsgResponder(nullptr);
    qApp->installEventFilter(this);
}

BoxReader::~BoxReader()
{
    qApp->removeEventFilter(this);
}

bool BoxReader::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if (m_counting >= 0 && (type == QEvent::Timer || type == QEvent::SockAct || type == QEvent::SockClose))
        ++wakeups[m_counting];
    auto *box = qobject_cast<QMessageBox *>(watched);
    if (box && type == QEvent::Show && m_counting < 0) {
        texts << box->text();
        wakeups << 0;
        m_counting = int(wakeups.size()) - 1;
        if (onShown)
            onShown(box);
        QPointer<QMessageBox> shown(box);
        QTimer::singleShot(m_holdMs, this, [this, shown] {
            m_counting = -1;
            if (!shown)
                return;
            QAbstractButton *button = shown->button(answer);
            if (!button)
                button = shown->button(QMessageBox::Ok);
            if (button)
                button->click();
        });
    }
    return QObject::eventFilter(watched, event);
}

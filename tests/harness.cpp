#include "harness.h"

#include "link/systemports.h"
#include "update/packets.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QComboBox>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <sys/utsname.h>
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

SysTree::SysTree()
{
    systemports::setRoot(root());
    utsname system {};
    ::uname(&system);
    const QString modules = "/lib/modules/" + QString::fromLocal8Bit(system.release);
    write(modules + "/modules.dep",
        "kernel/drivers/usb/serial/ftdi_sio.ko.xz: kernel/drivers/usb/serial/usbserial.ko.xz\n"
        "kernel/drivers/media/usb/gspca/gspca_main.ko.xz:\n");
    write(modules + "/modules.alias",
        "alias usb:v0403p6001d*dc*dsc*dp*ic*isc*ip*in* ftdi_sio\n"
        "alias usb:v1234p5678d*dc*dsc*dp*ic*isc*ip*in* gspca_main\n");
    for (const char *dir : {"/sys/class/tty", "/sys/bus/usb/drivers/usbfs", "/sys/bus/pnp/drivers/serial"})
        QDir().mkpath(root() + dir);
}

SysTree::~SysTree()
{
    systemports::setRoot(QString());
}

// Paths are in the tree, a link's target too.
void SysTree::write(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(root() + path).path());
    QFile file(root() + path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
}

void SysTree::link(const QString &path, const QString &target)
{
    QDir().mkpath(QFileInfo(root() + path).path());
    QFile::remove(root() + path);
    QVERIFY(QFile::link(target.startsWith("/dev/pts") ? target : root() + target, root() + path));
}

QString SysTree::usbDir(const QString &socket) const
{
    return "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + socket;
}

QString SysTree::plug(const QString &socket, const QString &line, const QString &product, const QString &ids)
{
    int free = 0;
    while (QFileInfo::exists(root() + QString("/sys/class/tty/ttyUSB%1").arg(free)))
        ++free;
    const QString tty = QString("ttyUSB%1").arg(free), device = usbDir(socket),
                  interface = device + "/" + socket + ":1.0", port = interface + "/" + tty;
    const QStringList id = ids.split(':');
    const std::pair<QString, QString> attributes[] = {{device + "/idVendor", id[0]}, {device + "/idProduct", id[1]},
        {device + "/product", product}, {device + "/busnum", "1"}, {device + "/devnum", QString::number(++m_devices)},
        {interface + "/bInterfaceNumber", "00"}, {interface + "/bInterfaceClass", "ff"},
        {interface + "/modalias",
            QString("usb:v%1p%2d0600dc00dsc00dp00icFFiscFFipFFin00").arg(id[0].toUpper(), id[1].toUpper())},
        {port + "/port_number", "0"}, {port + "/tty/" + tty + "/uevent", "DEVNAME=" + tty + "\n"}};
    for (const auto &[path, value] : attributes)
        write(path, value.toUtf8());
    write(usbNode(socket), "");
    link(interface + "/driver", "/sys/bus/usb/drivers/ftdi_sio");
    link(port + "/driver", "/sys/bus/usb-serial/drivers/ftdi_sio");
    link(port + "/tty/" + tty + "/device", port);
    link("/sys/class/tty/" + tty, port + "/tty/" + tty);
    link("/sys/bus/usb/devices/" + socket, device);
    link("/sys/bus/usb/devices/" + socket + ":1.0", interface);
    link("/dev/" + tty, line);
    return tty;
}

QString SysTree::usbNode(const QString &socket) const
{
    QFile devnum(root() + usbDir(socket) + "/devnum");
    devnum.open(QIODevice::ReadOnly);
    return QString("/dev/bus/usb/001/%1").arg(devnum.readAll().toInt(), 3, 10, QChar('0'));
}

void SysTree::unbind(const QString &socket)
{
    const QString interface = root() + usbDir(socket) + "/" + socket + ":1.0";
    for (const QString &tty : QDir(interface).entryList({"ttyUSB*"}, QDir::Dirs)) {
        QDir(interface + "/" + tty).removeRecursively();
        QFile::remove(root() + "/sys/class/tty/" + tty);
        QFile::remove(dev(tty));
    }
    QFile::remove(interface + "/driver");
}

void SysTree::claimThroughUsbfs(const QString &socket)
{
    unbind(socket);
    link(usbDir(socket) + "/" + socket + ":1.0/driver", "/sys/bus/usb/drivers/usbfs");
}

void SysTree::pull(const QString &socket)
{
    unbind(socket);
    QDir(root() + usbDir(socket)).removeRecursively();
    QFile::remove(root() + "/sys/bus/usb/devices/" + socket);
    QFile::remove(root() + "/sys/bus/usb/devices/" + socket + ":1.0");
}

void SysTree::addUart(const QString &name, int type, const QString &line)
{
    const QString device = "/sys/devices/pnp0/00:0" + name.right(1), tty = device + "/tty/" + name;
    link(device + "/driver", "/sys/bus/pnp/drivers/serial");
    write(tty + "/type", QByteArray::number(type));
    link(tty + "/device", device);
    link("/sys/class/tty/" + name, tty);
    if (type != 0)
        link("/dev/" + name, line);
}

void SysTree::addVirtual(const QString &name, const QString &line)
{
    write("/sys/devices/virtual/tty/" + name + "/uevent", "DEVNAME=" + name.toLatin1() + "\n");
    link("/sys/class/tty/" + name, "/sys/devices/virtual/tty/" + name);
    link("/dev/" + name, line);
}

void SysTree::hideSysfs()
{
    QDir(root() + "/sys").removeRecursively();
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
    MSComm::wirePort1(nullptr);
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
    MSComm::wirePort1([sim] { return sim->devicePath(); });
    return true;
}

void Bench::usePort1(const QString &device)
{
    MSComm::wirePort1([device] { return device; });
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

QStringList Bench::portTips(int count)
{
    auto *box = child<QComboBox>("cboComPort");
    box->setFocus();
    press(Qt::Key_Down, Qt::AltModifier);
    QStringList tips;
    if (QTest::qWaitFor([box] { return box->view()->isVisible(); })) {
        for (int i = 0; i < count; ++i)
            tips << box->itemData(i, Qt::ToolTipRole).toString();
    }
    press(Qt::Key_Escape); // closes the list alone
    return QTest::qWaitFor([box] { return !box->view()->isVisible(); }) ? tips : QStringList();
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

// The serial port on Linux and macOS: QSerialPort for opening, settings and
// reading, the descriptor itself where Qt would add a round through the
// event loop or wait without a bound.
#include "mscomm.h"

#include "driverjournal.h"
#include "portusers.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <cerrno>

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#endif

namespace {

constexpr int kDrainPollUs = 1000;
const QString kLowLatency = QStringLiteral("low_latency");
const QString kRxTrigger = QStringLiteral("rx_trig_bytes");

} // namespace

struct MSComm::Device
{
    QSerialPort port;
    // What this open changed in the driver, and the driver's own values to
    // put back on close. Each change is in the journal before it is made.
    QString latencyKey; // empty: not changed (the flag was the driver's own)
    QString rxTrigPath; // empty: not changed
    QByteArray rxTrigOwn;

    void requestLowLatency(int fd, const QString &identity);
    void restoreLatency(int fd);
    void lowerRxTrigger(const QString &sysfsPath);
    void restoreRxTrigger();
};

// USB adapters hold short replies back for up to 16 ms unless asked not to;
// with some two thousand short exchanges per update that would dominate.
// Devices without the ioctl (pseudo-terminals, some drivers) are left as is.
void MSComm::Device::requestLowLatency(int fd, const QString &identity)
{
#ifdef Q_OS_LINUX
    serial_struct info {};
    if (::ioctl(fd, TIOCGSERIAL, &info) != 0)
        return;
    const bool current = info.flags & ASYNC_LOW_LATENCY;
    const bool own = driverjournal::ownValue(kLowLatency, identity, QString::number(current)) == QLatin1String("1");
    if (own || !driverjournal::record(kLowLatency, identity, QString::number(own), QStringLiteral("1")))
        return;
    if (!current) {
        info.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(fd, TIOCSSERIAL, &info) != 0) {
            driverjournal::forget(kLowLatency, identity);
            return;
        }
    }
    latencyKey = identity;
#else
    Q_UNUSED(fd);
    Q_UNUSED(identity);
#endif
}

// The driver keeps the flag after the close (an FTDI adapter its 1 ms
// latency timer), so the next program would find our setting.
void MSComm::Device::restoreLatency(int fd)
{
#ifdef Q_OS_LINUX
    serial_struct info {};
    if (!latencyKey.isEmpty() && ::ioctl(fd, TIOCGSERIAL, &info) == 0) {
        info.flags &= ~ASYNC_LOW_LATENCY;
        if (::ioctl(fd, TIOCSSERIAL, &info) == 0)
            driverjournal::forget(kLowLatency, latencyKey);
    }
#else
    Q_UNUSED(fd);
#endif
    latencyKey.clear();
}

// A 16550 passes received bytes on once its FIFO holds the trigger level
// (8 as Linux sets it) or after four character times of silence: most
// replies are 5 bytes, so each would wait those 4 ms at 9600 baud. At 1
// byte every reply is passed on as it comes. Where the attribute is missing
// or not ours to write, the port works as it is.
void MSComm::Device::lowerRxTrigger(const QString &sysfsPath)
{
    if (sysfsPath.isEmpty())
        return;
    const QString path = sysfsPath + QLatin1String("/rx_trig_bytes");
    QFile attribute(path);
    if (!attribute.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return;
    const QByteArray current = attribute.readAll().trimmed();
    if (current.isEmpty())
        return;
    // A killed run's 1 is not the driver's own level.
    const QByteArray own = driverjournal::ownValue(kRxTrigger, path, QString::fromLatin1(current)).toLatin1();
    if (own == "1" || !driverjournal::record(kRxTrigger, path, QString::fromLatin1(own), QStringLiteral("1")))
        return;
    if (current != "1" && attribute.write("1") != 1) {
        driverjournal::forget(kRxTrigger, path);
        return;
    }
    rxTrigPath = path;
    rxTrigOwn = own;
}

void MSComm::Device::restoreRxTrigger()
{
    if (rxTrigPath.isEmpty())
        return;
    QFile attribute(rxTrigPath);
    if (attribute.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && attribute.write(rxTrigOwn) == rxTrigOwn.size())
        driverjournal::forget(kRxTrigger, rxTrigPath);
    rxTrigPath.clear();
}

void MSComm::restoreAbandonedDriverSettings()
{
    driverjournal::restoreAbandoned();
}

QStringList MSComm::portHolderNames(const QStringList &devices)
{
    QStringList names;
    for (const std::optional<portusers::Holder> &holder : portusers::findPortHolders(devices)) {
        if (!holder)
            names << QString();
        else
            names << (holder->name.isEmpty() ? QStringLiteral("process %1").arg(holder->pid) : holder->name);
    }
    return names;
}

MSComm::MSComm(QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Device>())
{
    d->port.setReadBufferSize(kInBufferSize);
    // Qt raises readyRead once per arrival; the threshold decides whether the
    // bytes waiting so far make a receive event.
    connect(&d->port, &QSerialPort::readyRead, this, [this] { receiveIfReady(d->port.bytesAvailable()); });
    connect(&d->port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        // On hot unplug of an adapter the errors come in numbers; the first
        // one fails the line.
        if (error == QSerialPort::ResourceError || error == QSerialPort::WriteError || error == QSerialPort::ReadError)
            failLine();
    });
}

MSComm::~MSComm()
{
    setPortOpen(false);
}

bool MSComm::deviceOpen() const
{
    return d->port.isOpen();
}

qintptr MSComm::deviceHandle() const
{
    return d->port.isOpen() ? qintptr(d->port.handle()) : -1;
}

bool MSComm::openDevice()
{
    // Opening a terminal device resets its line for whoever else has it open,
    // so the signs that need no open come first.
    if (const std::optional<portusers::Holder> holder = portusers::findPortHolder(m_device)) {
        m_lastError = ErrPortInUse;
        m_lastErrorText = QStringLiteral("Port in use");
        m_portHolderText = portusers::describe(m_device, *holder);
        return false;
    }

    QSerialPort &port = d->port;
    port.setPortName(m_device);
    if (!port.open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = port.error();
        m_lastErrorText = port.errorString();
        port.clearError();
        // Qt reports a port locked by another program and a device we may
        // not open alike; only the second one fails the access test.
        const bool accessible = ::access(QFile::encodeName(m_device).constData(), R_OK | W_OK) == 0;
        m_openDenied = !accessible && errno == EACCES;
        switch (error) {
        case QSerialPort::DeviceNotFoundError: m_lastError = ErrNoSuchPort; break;
        case QSerialPort::OpenError: m_lastError = ErrPortInUse; break;
        // Qt also fails this way when it finds no folder to write its lock
        // file in; the port is in use only when someone is seen holding it.
        case QSerialPort::PermissionError:
            if (const std::optional<portusers::Holder> holder
                = accessible ? portusers::findPortHolder(m_device) : std::nullopt) {
                m_lastError = ErrPortInUse;
                m_portHolderText = portusers::describe(m_device, *holder);
            } else {
                m_lastError = ErrOther;
            }
            break;
        default: m_lastError = ErrOther; break;
        }
        return false;
    }
    // Held for as long as the port is open, so that programs that honour the
    // lock see ours; closing the descriptor releases it.
    portusers::Holder locker;
    if (!portusers::lockDevice(static_cast<int>(port.handle()), &locker)) {
        port.close();
        port.clearError();
        m_lastError = ErrPortInUse;
        m_lastErrorText = QStringLiteral("Port locked");
        m_portHolderText = portusers::describe(m_device, locker);
        return false;
    }

    applyLineSettings();
    applyControlLines();

    d->requestLowLatency(static_cast<int>(port.handle()), m_port.identity);
    d->lowerRxTrigger(m_port.sysfsPath);
    return true;
}

void MSComm::applyLineSettings()
{
    QSerialPort &port = d->port;
    port.setBaudRate(m_baud);
    port.setParity(m_parity);
    port.setDataBits(m_dataBits);
    port.setStopBits(m_stopBits);
    port.setFlowControl(m_handshaking == 0 ? QSerialPort::NoFlowControl
            : m_handshaking == 1           ? QSerialPort::SoftwareControl
                                           : QSerialPort::HardwareControl);
    // Some devices (pseudo-terminals among them) refuse a setting they cannot
    // express; the error is sticky, so clear it before it taints later checks.
    port.clearError();
}

void MSComm::applyControlLines()
{
    d->port.setDataTerminalReady(m_dtr);
    if (m_handshaking < 2)
        d->port.setRequestToSend(m_rts);
    d->port.clearError();
}

bool MSComm::writeDevice(const QByteArray &bytes)
{
    // Straight to the driver: the port's own queue would add a round through
    // the event loop to every exchange. A driver whose buffer is full for the
    // moment gets the packet's wire time and a grace period to take the rest.
    QDeadlineTimer deadline(wireTimeMs(bytes.size()) + kDriverGraceMs);
    const int fd = static_cast<int>(d->port.handle());
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (written > 0) {
            done += written;
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        pollfd ready {fd, POLLOUT, 0};
        const qint64 left = deadline.remainingTime();
        if (left <= 0 || (::poll(&ready, 1, int(left)) < 0 && errno != EINTR)
            || (ready.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return false;
    }
    return true;
}

void MSComm::waitOnDevice(int msecs)
{
    if (!d->port.isOpen()) {
        QThread::msleep(msecs);
        return;
    }
    // Returns as soon as bytes arrive, having read them and raised readyRead;
    // a wait that ends without bytes leaves a time-out error behind.
    if (!d->port.waitForReadyRead(msecs))
        d->port.clearError();
}

void MSComm::pauseIdlePolling(bool)
{
    // Arrivals wake the event loop here; nothing polls between waits.
}

QByteArray MSComm::readDevice()
{
    return d->port.readAll();
}

void MSComm::flushDeviceInput()
{
    d->port.readAll();
    d->port.clear(QSerialPort::Input);
    d->port.clearError();
}

bool MSComm::closeDevice()
{
    const int fd = static_cast<int>(d->port.handle());
    int queued = outputQueued();
    QDeadlineTimer deadline(wireTimeMs(std::max(queued, 0)) + kDriverGraceMs);
    while (queued > 0 && !deadline.hasExpired()) {
        ::usleep(kDrainPollUs);
        queued = outputQueued();
    }
    // A driver that stopped sending keeps its bytes: drop them, or the
    // close would wait for them in the kernel instead.
    if (queued > 0)
        ::tcflush(fd, TCOFLUSH);
    d->restoreLatency(fd);
    d->port.close();
    d->port.clearError();
    // After the close, which waits for the transmitter: a new trigger level
    // clears the FIFOs.
    d->restoreRxTrigger();
    return queued <= 0;
}

void MSComm::abortDevice()
{
    // Output the driver cannot send would make the close wait for it.
    const int fd = static_cast<int>(d->port.handle());
    ::tcflush(fd, TCOFLUSH);
    d->restoreLatency(fd);
    d->port.close();
    d->port.clearError();
    d->restoreRxTrigger();
}

int MSComm::driverOutputQueue(qintptr handle)
{
    int queued = 0;
    return handle >= 0 && ::ioctl(int(handle), TIOCOUTQ, &queued) == 0 ? queued : 0;
}

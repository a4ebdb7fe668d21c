#include "mscomm.h"

#include "portusers.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSerialPortInfo>
#include <QThread>

#include <algorithm>
#include <cerrno>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#endif

namespace {

MSComm::PortResolver &resolverSlot()
{
    static MSComm::PortResolver resolver;
    return resolver;
}

MSComm::OutputQueueReader &queueReaderSlot()
{
    static MSComm::OutputQueueReader reader;
    return reader;
}

// "ttyUSB10" after "ttyUSB9": digit runs compare by value.
bool naturalLess(const QString &a, const QString &b)
{
    int i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            int ei = i, ej = j;
            while (ei < a.size() && a[ei].isDigit())
                ++ei;
            while (ej < b.size() && b[ej].isDigit())
                ++ej;
            const qulonglong na = a.mid(i, ei - i).toULongLong();
            const qulonglong nb = b.mid(j, ej - j).toULongLong();
            if (na != nb)
                return na < nb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

bool isUsbAdapter(const QString &name)
{
    return name.contains(QLatin1String("USB"), Qt::CaseInsensitive)
        || name.contains(QLatin1String("ACM"), Qt::CaseInsensitive)
        || name.contains(QLatin1String("usbserial"), Qt::CaseInsensitive)
        || name.contains(QLatin1String("usbmodem"), Qt::CaseInsensitive);
}

} // namespace

void MSComm::setPortResolver(PortResolver resolver)
{
    resolverSlot() = std::move(resolver);
}

QString MSComm::resolvePort(int port)
{
    if (resolverSlot())
        return resolverSlot()(port);
    return defaultPortName(port);
}

QString MSComm::defaultPortName(int port)
{
    if (port < 1)
        return QString();
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    // Port n is the n-th serial port the system lists: USB and ACM adapters
    // first, since that is how most units are attached, then the rest.
    QStringList usb, other;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        const QString name = info.portName();
#ifdef Q_OS_MACOS
        if (!name.startsWith(QLatin1String("cu.")))
            continue;
#endif
        (isUsbAdapter(name) ? usb : other).append(info.systemLocation());
    }
    std::sort(usb.begin(), usb.end(), naturalLess);
    std::sort(other.begin(), other.end(), naturalLess);
    const QStringList all = usb + other;
    return port <= all.size() ? all.at(port - 1) : QString();
#endif
}

MSComm::MSComm(QObject *parent)
    : QObject(parent)
{
    m_port.setReadBufferSize(kInBufferSize);
    connect(&m_port, &QSerialPort::readyRead, this, &MSComm::onReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &MSComm::onErrorOccurred);
}

MSComm::~MSComm()
{
    setPortOpen(false);
}

void MSComm::setCommPort(int port)
{
    m_commPort = port;
}

bool MSComm::setSettings(const QString &settings)
{
    const QStringList parts = settings.split(QLatin1Char(','));
    if (parts.size() != 4)
        return false;
    bool ok = false;
    const qint32 baud = parts[0].trimmed().toInt(&ok);
    if (!ok || baud <= 0)
        return false;

    QSerialPort::Parity parity;
    const QString p = parts[1].trimmed().toUpper();
    if (p == QLatin1String("N"))
        parity = QSerialPort::NoParity;
    else if (p == QLatin1String("E"))
        parity = QSerialPort::EvenParity;
    else if (p == QLatin1String("O"))
        parity = QSerialPort::OddParity;
    else if (p == QLatin1String("M"))
        parity = QSerialPort::MarkParity;
    else if (p == QLatin1String("S"))
        parity = QSerialPort::SpaceParity;
    else
        return false;

    const int bits = parts[2].trimmed().toInt(&ok);
    if (!ok || bits < 5 || bits > 8)
        return false;

    QSerialPort::StopBits stop;
    const QString s = parts[3].trimmed();
    if (s == QLatin1String("1"))
        stop = QSerialPort::OneStop;
    else if (s == QLatin1String("1.5"))
        stop = QSerialPort::OneAndHalfStop;
    else if (s == QLatin1String("2"))
        stop = QSerialPort::TwoStop;
    else
        return false;

    m_settings = settings;
    m_baud = baud;
    m_parity = parity;
    m_dataBits = static_cast<QSerialPort::DataBits>(bits);
    m_stopBits = stop;
    if (m_port.isOpen())
        applyLineSettings();
    return true;
}

void MSComm::applyLineSettings()
{
    m_port.setBaudRate(m_baud);
    m_port.setParity(m_parity);
    m_port.setDataBits(m_dataBits);
    m_port.setStopBits(m_stopBits);
    m_port.setFlowControl(m_handshaking == 0 ? QSerialPort::NoFlowControl
            : m_handshaking == 1             ? QSerialPort::SoftwareControl
                                             : QSerialPort::HardwareControl);
    // Some devices (pseudo-terminals among them) refuse a setting they cannot
    // express; the error is sticky, so clear it before it taints later checks.
    m_port.clearError();
}

void MSComm::setRThreshold(int count)
{
    m_rThreshold = count;
}

void MSComm::setDTREnable(bool on)
{
    m_dtr = on;
    if (m_port.isOpen()) {
        m_port.setDataTerminalReady(on);
        m_port.clearError();
    }
}

void MSComm::setRTSEnable(bool on)
{
    m_rts = on;
    if (m_port.isOpen() && m_handshaking < 2) {
        m_port.setRequestToSend(on);
        m_port.clearError();
    }
}

bool MSComm::setPortOpen(bool open)
{
    if (!open) {
        if (m_port.isOpen()) {
            // Bytes still queued (the finish command, written last) must reach
            // the line before the old settings come back, but a driver that
            // stops taking them must not hold the window for good.
            m_outputDropped = m_lineFailed || !drainOutput();
            m_port.close();
            m_port.clearError();
        }
        return true;
    }

    m_lastError = ErrNone;
    m_lastErrorText.clear();
    m_portHolderText.clear();
    if (m_port.isOpen()) {
        m_lastError = ErrPortInUse;
        m_lastErrorText = QStringLiteral("Port already open");
        return false;
    }
    m_device = resolvePort(m_commPort);
    if (m_device.isEmpty()) {
        m_lastError = ErrNoSuchPort;
        m_lastErrorText = QStringLiteral("No such port");
        return false;
    }

    // Opening a terminal device resets its line for whoever else has it open,
    // so the signs that need no open come first.
    if (const std::optional<portusers::Holder> holder = portusers::findPortHolder(m_device)) {
        m_lastError = ErrPortInUse;
        m_lastErrorText = QStringLiteral("Port in use");
        m_portHolderText = portusers::describe(m_device, *holder);
        return false;
    }

    m_port.setPortName(m_device);
    // A failure stays known after the failed port is closed, until the next open.
    m_lineFailed = false;
    m_outputDropped = false;
    if (!m_port.open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = m_port.error();
        m_lastErrorText = m_port.errorString();
        m_port.clearError();
        switch (error) {
        case QSerialPort::DeviceNotFoundError: m_lastError = ErrNoSuchPort; break;
        case QSerialPort::OpenError: m_lastError = ErrPortInUse; break;
        case QSerialPort::PermissionError:
#ifdef Q_OS_UNIX
            // Qt reports a port locked by another program and a device we may
            // not open alike; only the second one fails the access test.
            m_lastError = ::access(QFile::encodeName(m_device).constData(), R_OK | W_OK) == 0 ? ErrPortInUse : ErrOther;
#else
            m_lastError = ErrPortInUse;
#endif
            break;
        default: m_lastError = ErrOther; break;
        }
        return false;
    }
#ifdef Q_OS_UNIX
    // Held for as long as the port is open, so that programs that honour the
    // lock see ours; closing the descriptor releases it.
    portusers::Holder locker;
    if (!portusers::lockDevice(static_cast<int>(m_port.handle()), &locker)) {
        m_port.close();
        m_port.clearError();
        m_lastError = ErrPortInUse;
        m_lastErrorText = QStringLiteral("Port locked");
        m_portHolderText = portusers::describe(m_device, locker);
        return false;
    }
#endif

    applyLineSettings();
    m_port.setDataTerminalReady(m_dtr);
    if (m_handshaking < 2)
        m_port.setRequestToSend(m_rts);
    m_port.clearError();
    requestLowLatency();
    return true;
}

void MSComm::requestLowLatency()
{
#ifdef Q_OS_LINUX
    // USB adapters hold short replies back for up to 16 ms unless asked not to;
    // with some two thousand short exchanges per update that would dominate.
    // Devices without the ioctl (pseudo-terminals, some drivers) are left as is.
    serial_struct info {};
    const int fd = static_cast<int>(m_port.handle());
    if (fd >= 0 && ::ioctl(fd, TIOCGSERIAL, &info) == 0 && !(info.flags & ASYNC_LOW_LATENCY)) {
        info.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &info);
    }
#endif
}

bool MSComm::PortOpen() const
{
    return m_port.isOpen();
}

int MSComm::wireTimeMs(qsizetype bytes) const
{
    // Start bit, data bits, parity bit, stop bits (1.5 counted as 2).
    const int bitsPerByte = 1 + int(m_dataBits) + (m_parity == QSerialPort::NoParity ? 0 : 1)
        + (m_stopBits == QSerialPort::OneStop ? 1 : 2);
    return int((qint64(bytes) * bitsPerByte * 1000 + m_baud - 1) / m_baud);
}

bool MSComm::Output(const QByteArray &bytes)
{
    if (!m_port.isOpen() || m_lineFailed)
        return false;
    // A driver whose buffer is full for the moment gets the packet's wire
    // time and a grace period to take the rest; a packet is never left half
    // written while reported as sent.
    QDeadlineTimer deadline(wireTimeMs(bytes.size()) + kDriverGraceMs);
#ifdef Q_OS_UNIX
    // Straight to the driver: the port's own queue would add a round through
    // the event loop to every exchange.
    const int fd = static_cast<int>(m_port.handle());
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
            break;
        pollfd ready {fd, POLLOUT, 0};
        const qint64 left = deadline.remainingTime();
        if (left <= 0 || (::poll(&ready, 1, int(left)) < 0 && errno != EINTR)
            || (ready.revents & (POLLERR | POLLHUP | POLLNVAL)))
            break;
    }
    if (done == bytes.size())
        return true;
#else
    if (m_port.write(bytes) == bytes.size()) {
        while (m_port.bytesToWrite() > 0 && !deadline.hasExpired())
            m_port.waitForBytesWritten(int(deadline.remainingTime()));
        if (m_port.bytesToWrite() == 0 && m_port.error() == QSerialPort::NoError)
            return true;
    }
#endif
    failLine();
    return false;
}

void MSComm::failLine()
{
    if (m_lineFailed || !m_port.isOpen())
        return;
    m_lineFailed = true;
#ifdef Q_OS_UNIX
    // Output the driver cannot send would make the close wait for it.
    ::tcflush(static_cast<int>(m_port.handle()), TCOFLUSH);
#endif
    // A hung-up line stays readable at its end and would wake the program
    // without pause for as long as a message about it is up: stop reading now.
    m_port.close();
    m_port.clearError();
    emit LineFailed();
}

bool MSComm::drainOutput()
{
#ifdef Q_OS_UNIX
    const int fd = static_cast<int>(m_port.handle());
    int queued = outputQueued(fd);
    if (queued <= 0)
        return true;
    QDeadlineTimer deadline(wireTimeMs(queued) + kDriverGraceMs);
    while (queued > 0 && !deadline.hasExpired()) {
        ::usleep(kDrainPollUs);
        queued = outputQueued(fd);
    }
    // A driver that stopped sending keeps its bytes: drop them, or the
    // close would wait for them in the kernel instead.
    if (queued > 0)
        ::tcflush(fd, TCOFLUSH);
    return queued <= 0;
#else
    QDeadlineTimer deadline(wireTimeMs(m_port.bytesToWrite()) + kDriverGraceMs);
    while (m_port.bytesToWrite() > 0 && !deadline.hasExpired())
        m_port.waitForBytesWritten(int(deadline.remainingTime()));
    return m_port.bytesToWrite() == 0;
#endif
}

int MSComm::outputQueued(int fd)
{
    if (queueReaderSlot())
        return queueReaderSlot()(fd);
#if defined(Q_OS_UNIX) && defined(TIOCOUTQ)
    int queued = 0;
    return ::ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : 0;
#else
    Q_UNUSED(fd);
    return 0;
#endif
}

void MSComm::setOutputQueueReader(OutputQueueReader reader)
{
    queueReaderSlot() = std::move(reader);
}

QByteArray MSComm::Input()
{
    return m_port.readAll();
}

void MSComm::discardInput()
{
    if (!m_port.isOpen())
        return;
    m_port.readAll();
    m_port.clear(QSerialPort::Input);
    m_port.clearError();
}

void MSComm::waitForInput(int msecs)
{
    if (m_port.isOpen() && !m_lineFailed) {
        // A wait that ends without bytes leaves a time-out error behind.
        if (!m_port.waitForReadyRead(msecs))
            m_port.clearError();
        return;
    }
    QThread::msleep(msecs);
}

void MSComm::onReadyRead()
{
    // Qt raises readyRead once per arrival; the threshold decides whether the
    // bytes waiting so far make a receive event.
    if (m_rThreshold <= 0 || m_port.bytesAvailable() < m_rThreshold)
        return;
    m_commEvent = comEvReceive;
    emit OnComm();
    m_commEvent = 0;
}

void MSComm::onErrorOccurred(QSerialPort::SerialPortError error)
{
    if (!m_port.isOpen())
        return;
    if (error == QSerialPort::ResourceError || error == QSerialPort::WriteError || error == QSerialPort::ReadError)
        failLine();
}

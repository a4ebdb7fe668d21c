#include "mscomm.h"

#include <QFile>
#include <QSerialPortInfo>

#include <algorithm>
#include <cerrno>

#ifdef Q_OS_UNIX
#include <termios.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace {

MSComm::PortResolver &resolverSlot()
{
    static MSComm::PortResolver resolver;
    return resolver;
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
            // close() drops whatever is still queued; a packet written last
            // (the finish command) must reach the line first.
            if (m_port.bytesToWrite() > 0)
                m_port.waitForBytesWritten(500);
#ifdef Q_OS_UNIX
            // Closing restores the line's earlier settings at once; bytes still
            // in the driver would leave at the wrong rate.
            if (!m_lineFailed)
                ::tcdrain(static_cast<int>(m_port.handle()));
#endif
            m_port.close();
            m_port.clearError();
        }
        m_lineFailed = false;
        return true;
    }

    m_lastError = ErrNone;
    m_lastErrorText.clear();
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

    m_port.setPortName(m_device);
    m_lineFailed = false;
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

bool MSComm::Output(const QByteArray &bytes)
{
    if (!m_port.isOpen() || m_lineFailed)
        return false;
    qsizetype done = 0;
#ifdef Q_OS_UNIX
    if (m_port.bytesToWrite() == 0) {
        // Nothing queued ahead of the packet: hand it to the driver at once,
        // sparing the port's write notifier a round through the event loop.
        const int fd = static_cast<int>(m_port.handle());
        ssize_t written;
        do {
            written = ::write(fd, bytes.constData(), size_t(bytes.size()));
        } while (written < 0 && errno == EINTR);
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            m_lineFailed = true;
            emit LineFailed();
            return false;
        }
        if (written > 0)
            done = written;
        if (done == bytes.size())
            return true;
    }
#endif
    // Whatever the driver did not take waits in the port's queue.
    const QByteArray rest = done ? bytes.mid(done) : bytes;
    if (m_port.write(rest) != rest.size())
        return false;
    // write() only queues; push the packet to the driver now rather than on
    // the next event-loop pass, which would add to every exchange.
    m_port.flush();
    const QSerialPort::SerialPortError error = m_port.error();
    if (error == QSerialPort::WriteError || error == QSerialPort::ResourceError) {
        m_lineFailed = true;
        return false;
    }
    return true;
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
    if (error == QSerialPort::ResourceError || error == QSerialPort::WriteError || error == QSerialPort::ReadError) {
        if (!m_lineFailed) {
            m_lineFailed = true;
            emit LineFailed();
        }
    }
}

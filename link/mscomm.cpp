#include "mscomm.h"

namespace {

MSComm::PortResolver &resolverSlot()
{
    static MSComm::PortResolver resolver;
    return resolver;
}

MSComm::PortLister &listerSlot()
{
    static MSComm::PortLister lister;
    return lister;
}

MSComm::OutputQueueReader &queueReaderSlot()
{
    static MSComm::OutputQueueReader reader;
    return reader;
}

} // namespace

QList<MSComm::SystemPort> MSComm::systemPorts()
{
    return listerSlot() ? listerSlot()() : listSystemPorts();
}

void MSComm::setPortLister(PortLister lister)
{
    listerSlot() = std::move(lister);
    restartNumbering();
    numberPorts();
}

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

QStringList MSComm::portDescriptions(int count)
{
    const QList<SystemPort> ports = systemPorts();
    QStringList devices;
    for (int port = 1; port <= count; ++port)
        devices << resolvePort(port);
    const QStringList holders = portHolderNames(devices);
    QStringList descriptions;
    for (int i = 0; i < devices.size(); ++i) {
        const QString &device = devices.at(i);
        if (device.isEmpty()) {
            // A number that named a device gone since says which one it waits for.
            const QString named = resolverSlot() ? QString() : numberedPort(i + 1);
            descriptions << (named.isEmpty() ? QStringLiteral("not present") : named + QStringLiteral(", not present"));
            continue;
        }
        QString text = device;
        for (const SystemPort &info : ports) {
            if (info.location == device && !info.description.isEmpty())
                text += QStringLiteral(", ") + info.description;
        }
        if (!holders.value(i).isEmpty())
            text += QStringLiteral(", in use by ") + holders.at(i);
        descriptions << text;
    }
    return descriptions;
}

void MSComm::setOutputQueueReader(OutputQueueReader reader)
{
    queueReaderSlot() = std::move(reader);
}

int MSComm::outputQueued() const
{
    const qintptr h = deviceHandle();
    return queueReaderSlot() ? queueReaderSlot()(h) : driverOutputQueue(h);
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
    if (deviceOpen())
        applyLineSettings();
    return true;
}

void MSComm::setDTREnable(bool on)
{
    m_dtr = on;
    if (deviceOpen())
        applyControlLines();
}

void MSComm::setRTSEnable(bool on)
{
    m_rts = on;
    if (deviceOpen())
        applyControlLines();
}

bool MSComm::setPortOpen(bool open)
{
    if (!open) {
        // Bytes still queued (the finish command, written last) must reach
        // the line before the port closes, but a driver that stops taking
        // them must not hold the window for good.
        if (deviceOpen())
            m_outputDropped = !closeDevice();
        return true;
    }

    m_lastError = ErrNone;
    m_lastErrorText.clear();
    m_portHolderText.clear();
    m_openDenied = false;
    if (deviceOpen()) {
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
    // A failure stays known after the failed port is closed, until the next open.
    m_lineFailed = false;
    m_outputDropped = false;
    return openDevice();
}

bool MSComm::PortOpen() const
{
    return deviceOpen();
}

qintptr MSComm::handle() const
{
    return deviceHandle();
}

qint64 MSComm::wireTimeNs(qsizetype bytes) const
{
    // Start bit, data bits, parity bit, stop bits (1.5 counted as 2).
    const int bitsPerByte = 1 + int(m_dataBits) + (m_parity == QSerialPort::NoParity ? 0 : 1)
        + (m_stopBits == QSerialPort::OneStop ? 1 : 2);
    return qint64(bytes) * bitsPerByte * 1000000000 / m_baud;
}

int MSComm::wireTimeMs(qsizetype bytes) const
{
    return int((wireTimeNs(bytes) + 999999) / 1000000);
}

bool MSComm::Output(const QByteArray &bytes)
{
    if (!deviceOpen() || m_lineFailed)
        return false;
    // A packet is never left half written while reported as sent.
    if (writeDevice(bytes))
        return true;
    failLine();
    return false;
}

void MSComm::waitForInput(int msecs)
{
    waitOnDevice(msecs);
}

QByteArray MSComm::Input()
{
    return deviceOpen() ? readDevice() : QByteArray();
}

void MSComm::discardInput()
{
    if (deviceOpen())
        flushDeviceInput();
}

void MSComm::receiveIfReady(qsizetype waiting)
{
    if (m_rThreshold <= 0 || waiting < m_rThreshold)
        return;
    m_commEvent = comEvReceive;
    emit OnComm();
    m_commEvent = 0;
}

void MSComm::failLine()
{
    if (m_lineFailed || !deviceOpen())
        return;
    m_lineFailed = true;
    m_outputDropped = true;
    // A hung-up line stays readable at its end and would wake the program
    // without pause for as long as a message about it is up: stop now.
    abortDevice();
    emit LineFailed();
}

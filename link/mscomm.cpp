#include "mscomm.h"

#include "link/systemports.h"

#include <QFileInfo>

namespace {

MSComm::DeviceSource &wiredSlot()
{
    static MSComm::DeviceSource device;
    return device;
}

MSComm::OutputQueueReader &queueReaderSlot()
{
    static MSComm::OutputQueueReader reader;
    return reader;
}

QString com(int number)
{
    return QStringLiteral("COM%1").arg(number);
}

} // namespace

void MSComm::wirePort1(DeviceSource device)
{
    wiredSlot() = std::move(device);
}

void MSComm::takeCensus()
{
    if (!wiredSlot())
        m_numbering.takeCensus(systemports::list());
}

QString MSComm::portDevice(int port) const
{
    if (wiredSlot())
        return port == 1 ? wiredSlot()() : QString();
    const std::optional<PortNumbering::Numbered> numbered = m_numbering.find(port);
    if (numbered)
        return numbered->present ? numbered->port.location : QString();
    return systemports::deviceForNumber(port);
}

QStringList MSComm::portDescriptions(int count) const
{
    QStringList devices;
    for (int port = 1; port <= count; ++port)
        devices << portDevice(port);
    const QStringList holders = portHolderNames(devices);
    QStringList descriptions;
    for (int port = 1; port <= count; ++port) {
        const QString &device = devices.at(port - 1);
        const std::optional<PortNumbering::Numbered> numbered
            = !wiredSlot() ? m_numbering.find(port) : std::nullopt;
        if (device.isEmpty()) {
            // A number that named a device gone since says which one it waits for.
            descriptions << (numbered ? numbered->port.location + QStringLiteral(", not present")
                                      : QStringLiteral("not present"));
            continue;
        }
        QString text = device;
        if (numbered && !numbered->port.description.isEmpty())
            text += QStringLiteral(", ") + numbered->port.description;
        if (!holders.value(port - 1).isEmpty())
            text += QStringLiteral(", in use by ") + holders.at(port - 1);
        descriptions << text;
    }
    return descriptions;
}

QString MSComm::missingPortText(int port) const
{
    QStringList lines;
    QStringList present;
    if (wiredSlot()) {
        if (QFileInfo::exists(wiredSlot()()))
            present << QStringLiteral("%1 (%2)").arg(com(1), wiredSlot()());
    } else {
        const std::optional<PortNumbering::Numbered> numbered = m_numbering.find(port);
        if (numbered && !numbered->present) {
            const SystemPort &gone = numbered->port;
            lines << QStringLiteral("%1 was %2, which is not there now.")
                         .arg(com(port),
                             gone.description.isEmpty() ? gone.location
                                                        : QStringLiteral("%1 (%2)").arg(gone.location, gone.description));
        }
        for (const PortNumbering::Numbered &numbered : m_numbering.present()) {
            QStringList about;
            if (numbered.port.name != com(numbered.number))
                about << numbered.port.location;
            if (!numbered.port.description.isEmpty())
                about << numbered.port.description;
            present << (about.isEmpty() ? com(numbered.number)
                                        : QStringLiteral("%1 (%2)").arg(com(numbered.number), about.join(", ")));
        }
    }
    lines << (present.isEmpty() ? QStringLiteral("No serial port is present.")
                                : QStringLiteral("Ports present: %1.").arg(present.join(QStringLiteral(", "))));
    if (!wiredSlot()) {
        for (const PortlessAdapter &adapter : systemports::portless())
            lines << QStringLiteral("%1 has no port: %2.").arg(adapter.adapter, adapter.why);
    }
    return lines.join(QStringLiteral("\r\n"));
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
    takeCensus();
    m_device = portDevice(m_commPort);
    if (m_device.isEmpty()) {
        m_lastError = ErrNoSuchPort;
        m_lastErrorText = QStringLiteral("No such port");
        return false;
    }
    // What the driver's settings are kept under.
    const std::optional<PortNumbering::Numbered> numbered
        = !wiredSlot() ? m_numbering.find(m_commPort) : std::nullopt;
    m_port = numbered && numbered->present ? numbered->port : systemports::portOf(m_device);
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

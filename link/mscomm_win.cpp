// The serial port on Windows, straight over Win32 on a handle opened without
// overlapped I/O. Nothing waits on the driver's events, which some drivers
// never signal: the receive event is raised when a look at the port finds the
// threshold's count of bytes waiting. In a reply wait each poll reads what
// the threshold still lacks, with a read time-out of the poll's length, so
// the driver wakes the program the moment the reply is complete; between
// waits a 1 ms timer looks.
#include "mscomm.h"

#include <QDeadlineTimer>
#include <QTimer>

#include <string>
#include <utility>

#include <windows.h>

#include <timeapi.h>

namespace {

constexpr DWORD kIdlePollMs = 1;
constexpr DWORD kDrainPollMs = 1;

DWORD g_systemOpenError = 0;

// How a failure of CreateFile counts: Windows refuses a port that another
// program holds with access denied or a sharing violation.
MSComm::Error openFailureKind(DWORD systemError)
{
    switch (systemError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return MSComm::ErrNoSuchPort;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return MSComm::ErrPortInUse;
    default: return MSComm::ErrOther;
    }
}

} // namespace

struct MSComm::Device
{
    explicit Device(MSComm &owner)
        : owner(owner)
    { }

    // Bytes in the driver, or -1 when the port no longer answers.
    qint64 queued() const
    {
        DWORD errors = 0;
        COMSTAT status {};
        return ClearCommError(handle, &errors, &status) ? qint64(status.cbInQue) : -1;
    }

    // Bytes waiting: those a reply wait has read already and those still in
    // the driver, or -1 when the port no longer answers.
    qint64 waiting() const
    {
        const qint64 count = queued();
        return count < 0 ? -1 : held.size() + count;
    }

    // Appends up to count bytes to held; only the bytes the driver lacks are
    // waited for, up to the read time-out. False when the port failed.
    bool readMore(qint64 count)
    {
        if (count <= 0)
            return true;
        const qsizetype before = held.size();
        held.resize(before + count);
        DWORD got = 0;
        const bool ok = ReadFile(handle, held.data() + before, DWORD(count), &got, nullptr);
        held.resize(before + (ok ? qsizetype(got) : 0));
        return ok;
    }

    void setReadTimeout(DWORD ms)
    {
        if (ms == readTimeoutMs)
            return;
        readTimeoutMs = ms;
        applyTimeouts();
    }

    // A read returns once it has all the bytes asked for or the read time-out
    // has passed, whichever comes first. A write may wait for a full driver
    // up to the bytes' wire time and a grace period, no longer.
    void applyTimeouts()
    {
        COMMTIMEOUTS timeouts {};
        timeouts.ReadTotalTimeoutConstant = readTimeoutMs;
        timeouts.WriteTotalTimeoutMultiplier = DWORD(owner.wireTimeMs(1));
        timeouts.WriteTotalTimeoutConstant = kDriverGraceMs;
        SetCommTimeouts(handle, &timeouts);
    }

    // One look at the port: raises the receive event, or fails the line.
    // True when either happened.
    bool poll()
    {
        const qint64 count = waiting();
        if (count < 0) {
            owner.failLine();
            return true;
        }
        if (owner.m_rThreshold <= 0 || count < owner.m_rThreshold)
            return false;
        owner.receiveIfReady(count);
        return true;
    }

    void close()
    {
        idlePoll.stop();
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
        held.clear();
        timeEndPeriod(1);
    }

    MSComm &owner;
    HANDLE handle = INVALID_HANDLE_VALUE;
    QByteArray held;
    DWORD readTimeoutMs = kIdlePollMs;
    QTimer idlePoll;
    bool idlePaused = false;
};

void MSComm::setSystemOpenError(unsigned long systemError)
{
    g_systemOpenError = DWORD(systemError);
}

QString MSComm::defaultPortName(int port)
{
    // The device namespace reaches COM10 and above, which plain names do not.
    return port < 1 ? QString() : QStringLiteral("\\\\.\\COM%1").arg(port);
}

QStringList MSComm::portHolderNames(const QStringList &devices)
{
    // Windows tells who holds a port only by refusing the open.
    return QStringList(devices.size(), QString());
}

MSComm::MSComm(QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Device>(*this))
{
    d->idlePoll.setTimerType(Qt::PreciseTimer);
    d->idlePoll.setInterval(int(kIdlePollMs));
    connect(&d->idlePoll, &QTimer::timeout, this, [this] { d->poll(); });
}

MSComm::~MSComm()
{
    setPortOpen(false);
}

bool MSComm::deviceOpen() const
{
    return d->handle != INVALID_HANDLE_VALUE;
}

qintptr MSComm::deviceHandle() const
{
    return deviceOpen() ? reinterpret_cast<qintptr>(d->handle) : -1;
}

bool MSComm::openDevice()
{
    const std::wstring path = m_device.toStdWString();
    const HANDLE handle = g_systemOpenError
        ? INVALID_HANDLE_VALUE
        : CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = g_systemOpenError ? g_systemOpenError : GetLastError();
        m_lastError = openFailureKind(error);
        m_lastErrorText = qt_error_string(int(error));
        return false;
    }
    d->handle = handle;
    SetupComm(handle, kInBufferSize, kOutBufferSize);
    DCB state {};
    state.DCBlength = sizeof state;
    if (!GetCommState(handle, &state)) {
        // Something that opens but is no serial port.
        m_lastError = ErrOther;
        m_lastErrorText = qt_error_string(int(GetLastError()));
        CloseHandle(handle);
        d->handle = INVALID_HANDLE_VALUE;
        return false;
    }
    applyLineSettings();
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    // Sleeps and timers of a millisecond, not of the default 15.6 ms tick,
    // while there are replies to wait for.
    timeBeginPeriod(1);
    if (!d->idlePaused)
        d->idlePoll.start();
    return true;
}

void MSComm::applyLineSettings()
{
    DCB state {};
    state.DCBlength = sizeof state;
    if (!GetCommState(d->handle, &state))
        return;
    state.BaudRate = DWORD(m_baud);
    state.ByteSize = BYTE(m_dataBits);
    switch (m_parity) {
    case QSerialPort::EvenParity: state.Parity = EVENPARITY; break;
    case QSerialPort::OddParity: state.Parity = ODDPARITY; break;
    case QSerialPort::MarkParity: state.Parity = MARKPARITY; break;
    case QSerialPort::SpaceParity: state.Parity = SPACEPARITY; break;
    default: state.Parity = NOPARITY; break;
    }
    state.StopBits = m_stopBits == QSerialPort::TwoStop ? TWOSTOPBITS
        : m_stopBits == QSerialPort::OneAndHalfStop     ? ONE5STOPBITS
                                                        : ONESTOPBIT;
    state.fBinary = TRUE;
    state.fParity = m_parity != QSerialPort::NoParity;
    // Replies carry 0x00 bytes: they must not be dropped.
    state.fNull = m_nullDiscard;
    state.fErrorChar = FALSE;
    state.fAbortOnError = FALSE;
    state.fOutxDsrFlow = FALSE;
    state.fDsrSensitivity = FALSE;
    state.fDtrControl = m_dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    const bool hardware = m_handshaking >= 2;
    const bool software = m_handshaking == 1 || m_handshaking == 3;
    state.fOutxCtsFlow = hardware;
    state.fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : m_rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    state.fOutX = software;
    state.fInX = software;
    state.fTXContinueOnXoff = TRUE;
    SetCommState(d->handle, &state);
    d->applyTimeouts();
}

void MSComm::applyControlLines()
{
    EscapeCommFunction(d->handle, m_dtr ? SETDTR : CLRDTR);
    if (m_handshaking < 2)
        EscapeCommFunction(d->handle, m_rts ? SETRTS : CLRRTS);
}

bool MSComm::writeDevice(const QByteArray &bytes)
{
    DWORD written = 0;
    // Fewer bytes than asked for means the write's deadline passed.
    return WriteFile(d->handle, bytes.constData(), DWORD(bytes.size()), &written, nullptr)
        && written == DWORD(bytes.size());
}

void MSComm::waitOnDevice(int msecs)
{
    if (!deviceOpen() || m_rThreshold <= 0) {
        Sleep(DWORD(msecs));
        return;
    }
    if (d->poll())
        return;
    // The read returns as soon as the threshold is reached; a piece of the
    // reply that comes on its own waits in held for the rest.
    d->setReadTimeout(DWORD(msecs));
    const qint64 count = d->waiting();
    if (count < 0 || !d->readMore(m_rThreshold - count)) {
        failLine();
        return;
    }
    d->poll();
}

void MSComm::pauseIdlePolling(bool paused)
{
    d->idlePaused = paused;
    if (paused)
        d->idlePoll.stop();
    else if (deviceOpen())
        d->idlePoll.start();
}

QByteArray MSComm::readDevice()
{
    // Only what the driver holds is asked for, so the read returns at once.
    const qint64 count = d->queued();
    if (count < 0 || !d->readMore(count)) {
        failLine();
        return QByteArray();
    }
    return std::exchange(d->held, QByteArray());
}

void MSComm::flushDeviceInput()
{
    PurgeComm(d->handle, PURGE_RXABORT | PURGE_RXCLEAR);
    d->held.clear();
}

bool MSComm::closeDevice()
{
    // FlushFileBuffers would wait without a bound for a driver that stopped
    // sending; watch the queue for the bytes' wire time and a grace period.
    int queued = outputQueued();
    QDeadlineTimer deadline(wireTimeMs(std::max(queued, 0)) + kDriverGraceMs);
    while (queued > 0 && !deadline.hasExpired()) {
        Sleep(kDrainPollMs);
        queued = outputQueued();
    }
    // Only bytes the driver could not send are purged: a purge also clears
    // what an adapter holds, and that may be the finish command.
    if (queued > 0)
        PurgeComm(d->handle, PURGE_TXABORT | PURGE_TXCLEAR);
    d->close();
    return queued <= 0;
}

void MSComm::abortDevice()
{
    PurgeComm(d->handle, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR);
    d->close();
}

int MSComm::driverOutputQueue(qintptr handle)
{
    DWORD errors = 0;
    COMSTAT status {};
    return handle != -1 && ClearCommError(reinterpret_cast<HANDLE>(handle), &errors, &status) ? int(status.cbOutQue)
                                                                                              : 0;
}

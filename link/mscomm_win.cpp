// The serial port on Windows, straight over Win32 on a handle opened without
// overlapped I/O. Nothing waits on the driver's events: the receive event is
// raised when a look at the port finds the threshold's count of bytes
// waiting, from the reply wait's own polls and, while the window waits for
// events, from a 1 ms timer. This works alike on every driver, those that
// never signal a byte's arrival included.
//
// A reply cannot be complete before the packet and the reply have crossed the
// line, so a reply wait sleeps through that time and looks at the port
// between yields only around the moment the reply is due: woken by a 1 ms
// sleep, it would see each reply half a millisecond late on average, which
// some two thousand exchanges add up. How late sleeps wake is learned, and
// forgotten again within a few exchanges: one stall of the whole program (a
// page fault, a virus scan, a busy machine) must not leave every later
// exchange yielding from its write to its reply.
#include "mscomm.h"

#include <QAbstractEventDispatcher>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

#include <string>

#include <windows.h>

#include <timeapi.h>

namespace {

constexpr DWORD kIdlePollMs = 1;
constexpr DWORD kDrainPollMs = 1;
// A poll that sleeps towards the reply's due time lasts no longer than this,
// so that the window is still served while a long packet is on the line;
// at 9600 baud a programming packet and its reply (31 bytes, 32 ms) then take
// one sleep, not two, and one poll of the window's events.
constexpr qint64 kLongestSleepMs = 35;
// How long after its due time a reply is looked for between yields; a later
// one (a slow unit, an adapter's latency timer) is looked for every 1 ms.
constexpr qint64 kYieldAfterDueNs = 1500000;
// What a sleep is first taken to overrun by, until sleeps have been timed.
constexpr qint64 kFirstSleepLateNs = 1000000;
// The overrun learned loses a quarter with each exchange and is never more
// than a quarter of the exchange's time on the line: every exchange sleeps
// through most of that time, and so goes on timing its sleeps.
constexpr qint64 kLateFadeShare = 4;
constexpr qint64 kLateBoundShare = 4;
// Sleeps timed each way before the way that wakes the closer is kept.
constexpr int kTrialSleeps = 5;
// Shorter than this, a sleep would cost as much as the yields it saves.
constexpr qint64 kShortestSleepNs = 200000;
constexpr DWORD kHighResolutionTimer = 0x2; // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
constexpr qint64 kNsPerMs = 1000000;

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
    {
        // Windows 10 from 1803 has timers finer than the system tick; older
        // ones get the tick, and Sleep where there is no timer at all.
        timer = CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
        if (!timer)
            timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    }
    ~Device()
    {
        if (timer)
            CloseHandle(timer);
    }

    // Windows wakes a high-resolution timer within tens of microseconds, a
    // thread's own delay only at its next timer tick. Wine serves timers in
    // its server, whose timeouts are whole milliseconds, and a delay with a
    // sleep of the host's. So the first sleeps take turns between the two,
    // and the way whose sleeps overran the less (by the median) is kept.
    bool nextSleepByDelay() const
    {
        if (!timer || !delay)
            return delay != nullptr;
        return sleepsTried < 2 * kTrialSleeps ? sleepsTried % 2 : keepDelay;
    }
    void learnWay(bool byDelay, qint64 late)
    {
        if (!timer || !delay || sleepsTried == 2 * kTrialSleeps)
            return;
        trialLateNs[byDelay][sleepsTried++ / 2] = late;
        if (sleepsTried < 2 * kTrialSleeps)
            return;
        for (qint64 *way : trialLateNs)
            std::nth_element(way, way + kTrialSleeps / 2, way + kTrialSleeps);
        keepDelay = trialLateNs[1][kTrialSleeps / 2] < trialLateNs[0][kTrialSleeps / 2];
    }

    // Bytes waiting in the driver, or -1 when the port no longer answers.
    qint64 waiting() const
    {
        DWORD errors = 0;
        COMSTAT status {};
        return ClearCommError(handle, &errors, &status) ? qint64(status.cbInQue) : -1;
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
        timeEndPeriod(1);
    }

    // Sleeps for the given time and learns by how much sleeps overrun: the
    // most of late, within the exchange's bound.
    void sleepFor(qint64 ns)
    {
        const bool byDelay = nextSleepByDelay();
        const qint64 start = clock.nsecsElapsed();
        LARGE_INTEGER due;
        due.QuadPart = -(ns / 100); // relative, in units of 100 ns
        if (byDelay)
            delay(FALSE, &due);
        else if (timer && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE))
            WaitForSingleObject(timer, INFINITE);
        else
            Sleep(DWORD(ns / kNsPerMs));
        const qint64 late = clock.nsecsElapsed() - start - ns;
        learnWay(byDelay, late);
        sleepLateNs = std::min(std::max(late, sleepLateNs), lateBoundNs);
    }

    // A packet goes out: its reply can be complete after wireNs. What earlier
    // sleeps overran by counts for less.
    void startExchange(qint64 wireNs)
    {
        replyDueNs = clock.nsecsElapsed() + wireNs;
        lateBoundNs = wireNs / kLateBoundShare;
        sleepLateNs = std::min(sleepLateNs - sleepLateNs / kLateFadeShare, lateBoundNs);
    }

    MSComm &owner;
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE timer = nullptr;
    using DelayCall = LONG(WINAPI *)(BOOLEAN alertable, LARGE_INTEGER *interval);
    const DelayCall delay = reinterpret_cast<DelayCall>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDelayExecution")));
    QTimer idlePoll;
    bool idlePaused = false;
    QElapsedTimer clock;
    qint64 replyDueNs = 0; // on clock: when the last packet's reply can be complete
    qint64 sleepLateNs = kFirstSleepLateNs;
    qint64 lateBoundNs = kFirstSleepLateNs; // the most sleepLateNs may be in this exchange
    int sleepsTried = 0;                    // of the trial, both ways
    qint64 trialLateNs[2][kTrialSleeps] {}; // overruns of the trial: by timer, by delay
    bool keepDelay = false;                 // the trial's outcome
};

void MSComm::setSystemOpenError(unsigned long systemError)
{
    g_systemOpenError = DWORD(systemError);
}

// Windows puts its driver settings back when the port closes, or the process ends.
void MSComm::restoreAbandonedDriverSettings() { }

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
    d->clock.start();
    // A reply wait looks at the port itself and stops the timer; it starts
    // again once the window waits for its next event.
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(thread())) {
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
            if (deviceOpen() && !d->idlePaused && !d->idlePoll.isActive())
                d->idlePoll.start();
        });
    }
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

    // Reads take what is waiting and return at once. A write may wait for a
    // full driver up to the bytes' wire time and a grace period, no longer.
    COMMTIMEOUTS timeouts {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutMultiplier = DWORD(wireTimeMs(1));
    timeouts.WriteTotalTimeoutConstant = kDriverGraceMs;
    SetCommTimeouts(d->handle, &timeouts);
}

void MSComm::applyControlLines()
{
    EscapeCommFunction(d->handle, m_dtr ? SETDTR : CLRDTR);
    if (m_handshaking < 2)
        EscapeCommFunction(d->handle, m_rts ? SETRTS : CLRRTS);
}

bool MSComm::writeDevice(const QByteArray &bytes)
{
    d->startExchange(wireTimeNs(bytes.size() + std::max(m_rThreshold, 0)));
    DWORD written = 0;
    // Fewer bytes than asked for means the write's deadline passed.
    return WriteFile(d->handle, bytes.constData(), DWORD(bytes.size()), &written, nullptr)
        && written == DWORD(bytes.size());
}

void MSComm::waitOnDevice(int msecs)
{
    if (!deviceOpen()) {
        Sleep(DWORD(msecs));
        return;
    }
    d->idlePoll.stop();
    if (d->poll())
        return;
    qint64 now = d->clock.nsecsElapsed();
    const qint64 untilDue = d->replyDueNs - now - d->sleepLateNs;
    if (untilDue >= kShortestSleepNs) {
        // Nothing can be complete yet. The window is served between slices;
        // after the last one the reply is due, and this poll looks on.
        const qint64 slice = std::min(untilDue, kLongestSleepMs * kNsPerMs);
        d->sleepFor(slice);
        if (d->poll() || slice < untilDue)
            return;
        now = d->clock.nsecsElapsed();
    }
    if (now < d->replyDueNs + kYieldAfterDueNs) {
        // The reply is due: look as often as it can arrive, until it is
        // late, and for no less than this poll's length.
        const qint64 end = std::max(now + msecs * kNsPerMs, d->replyDueNs + kYieldAfterDueNs);
        do {
            Sleep(0);
            if (d->poll())
                return;
        } while (d->clock.nsecsElapsed() < end);
        return;
    }
    Sleep(DWORD(msecs));
    if (deviceOpen())
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
    const qint64 count = d->waiting();
    if (count < 0) {
        failLine();
        return QByteArray();
    }
    QByteArray data(count, Qt::Uninitialized);
    DWORD got = 0;
    if (count > 0 && !ReadFile(d->handle, data.data(), DWORD(count), &got, nullptr)) {
        failLine();
        return QByteArray();
    }
    data.resize(qsizetype(got));
    return data;
}

void MSComm::flushDeviceInput()
{
    PurgeComm(d->handle, PURGE_RXABORT | PURGE_RXCLEAR);
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

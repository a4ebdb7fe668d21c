// axr574-bench-floor: the floor beneath the Windows program's figures. It
// makes the exchanges of a whole update straight through WriteFile and
// ReadFile on COM1, run under Wine by axr574-bench --on wine against the same
// paced unit as the program: no window and no sleep, only looks at the port
// between yields of the processor, from each write until the reply is whole.
// What it takes above the line's time is the system's own share, which no
// updater on the same system undercuts; it spends a core to get there.
//
//   axr574-bench-floor BAUD REPORT-FILE
//
// The report has the form of axr574-bench-win32's: "ok WALL CPU 0", then an
// empty line, or "failed ..." and what failed.
#include "link/frame.h"
#include "update/packets.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

// The program's own limit, about a thousand polls of a millisecond.
constexpr double kReplyLimitSeconds = 1.0;

double seconds(const FILETIME &t)
{
    return double(static_cast<unsigned long long>(t.dwHighDateTime) << 32 | t.dwLowDateTime) * 1e-7;
}

// User and kernel time of this process.
double cpuSeconds()
{
    FILETIME created, exited, kernel, user;
    return GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user) ? seconds(kernel) + seconds(user)
                                                                                   : 0;
}

double now()
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return double(count.QuadPart) / double(frequency.QuadPart);
}

// Every packet of an update in its order, with the count of reply bytes the
// program waits for; the finish packet has no reply.
std::vector<std::pair<const char *, DWORD>> updateExchanges()
{
    std::vector<std::pair<const char *, DWORD>> all {{firmware::kVersionRead, 16}};
    for (std::size_t i = 0; i < firmware::ErasePacketCount; ++i)
        all.emplace_back(firmware::ErasePackets[i], 5);
    all.emplace_back(firmware::kBlankCheck, 13);
    for (std::size_t i = 0; i < firmware::ProgramPacketCount; ++i)
        all.emplace_back(firmware::ProgramPackets[i], 5);
    all.insert(all.end(),
        {{firmware::kVerify, 13}, {firmware::kResetDefaults, 5}, {firmware::kVersionRead, 16}, {firmware::kFinish, 0}});
    return all;
}

// The line as the program sets it: 8N1, no flow control, DTR and RTS off,
// reads that take what is waiting.
bool setUp(HANDLE port, DWORD baud)
{
    DCB state {};
    state.DCBlength = sizeof state;
    if (!GetCommState(port, &state))
        return false;
    state.BaudRate = baud;
    state.ByteSize = 8;
    state.Parity = NOPARITY;
    state.StopBits = ONESTOPBIT;
    state.fBinary = TRUE;
    state.fParity = state.fNull = state.fErrorChar = state.fAbortOnError = FALSE;
    state.fOutxCtsFlow = state.fOutxDsrFlow = state.fDsrSensitivity = state.fOutX = state.fInX = FALSE;
    state.fDtrControl = DTR_CONTROL_DISABLE;
    state.fRtsControl = RTS_CONTROL_DISABLE;
    COMMTIMEOUTS timeouts {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    return SetCommState(port, &state) && SetCommTimeouts(port, &timeouts)
        && PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
}

// Writes the packet and looks at the port between yields until the reply is
// whole; an empty string, or what went wrong.
std::string exchange(HANDLE port, const char *text, DWORD replyBytes)
{
    const frame::Bytes packet = frame::fromHex(text);
    DWORD count = 0;
    if (!WriteFile(port, packet.data(), DWORD(packet.size()), &count, nullptr) || count != packet.size())
        return std::string("cannot write ") + text;
    const double limit = now() + kReplyLimitSeconds;
    DWORD errors = 0;
    COMSTAT status {};
    while (ClearCommError(port, &errors, &status) && status.cbInQue < replyBytes) {
        if (now() > limit)
            return std::string("no reply to ") + text;
        Sleep(0);
    }
    char reply[1024];
    if (replyBytes && !ReadFile(port, reply, std::min<DWORD>(status.cbInQue, sizeof reply), &count, nullptr))
        return std::string("cannot read the reply to ") + text;
    return std::string();
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3)
        return 2;
    const double cpu0 = cpuSeconds();
    const double start = now();
    std::string failure;
    const HANDLE port
        = CreateFileW(L"\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE || !setUp(port, DWORD(std::atoi(argv[1]))))
        failure = "cannot open COM1";
    for (const auto &[text, replyBytes] : updateExchanges()) {
        if (failure.empty())
            failure = exchange(port, text, replyBytes);
    }
    // Closed once the finish packet has left the driver, as the program closes.
    DWORD errors = 0;
    COMSTAT status {};
    while (failure.empty() && ClearCommError(port, &errors, &status) && status.cbOutQue > 0)
        Sleep(0);
    CloseHandle(port);
    const double wall = now() - start;
    const double cpu = cpuSeconds() - cpu0;

    std::FILE *report = std::fopen(argv[2], "wb");
    if (!report)
        return 1;
    std::fprintf(report, "%s %.6f %.6f 0\n%s\n", failure.empty() ? "ok" : "failed", wall, cpu, failure.c_str());
    std::fclose(report);
    return failure.empty() ? 0 : 1;
}

// axr574-sim: a simulated AXR-574 on a pseudo-terminal, for tests, the
// benchmark and demonstrations without hardware. See usage() for options.
#include "simlog.h"
#include "unitmodel.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int)
{
    g_stop = 1;
}

const frame::Bytes kWakeTail {0xFE, 0xFE, 0x33, 0x00, 0x42, 0x4C, 0x3F, 0xFD};
constexpr std::size_t kWakeLength = 26;
constexpr std::size_t kMaxBuffered = 4096;

struct Options
{
    sim::UnitIdentity identity;
    int unitBaud = 9600;
    bool bootMode = true;
    bool pace = false;
    int delayMs = 0;
    int delayAt = 0;
    std::string logPath;
    std::string memoryPath;
    bool blank = false;
    int noReplyAt = 0;
    int badStartAt = 0;
    int splitAt = 0;
    int splitGapMs = 20;
    int trailingAt = 0;
    int trailingBytes = 3;
    int hangupAt = 0;
    bool blankFail = false;
    bool verifyFail = false;
    int wrongModelAt = 0;
    bool flood = false;
    int floodAfter = 0;
};

void usage(std::FILE *to)
{
    std::fputs("usage: axr574-sim [options]\n"
               "  --model CODE          model code, 4 characters (0574)\n"
               "  --version VVVV        firmware version, 4 characters (1123)\n"
               "  --version-minor XX    two further version characters (00)\n"
               "  --no-firmware         report no firmware in the version reply\n"
               "  --unit-baud N         rate at which the running firmware listens (9600)\n"
               "  --mode boot|normal    start in the bootloader or the firmware (boot)\n"
               "  --pace                answer no earlier than a real line allows\n"
               "  --delay-ms N          extra delay before every reply\n"
               "  --delay-at K          only before the reply to frame K\n"
               "  --log FILE            JSON-lines event log\n"
               "  --memory FILE         write the 32768-byte memory here at start, finish and exit\n"
               "  --blank               start with the application region erased\n"
               "  --no-reply-at K       do not answer frame K\n"
               "  --bad-start-at K      answer frame K with a reply not starting 0F 0F\n"
               "  --split-at K          answer frame K in two pieces\n"
               "  --split-gap-ms N      time between the two pieces (20)\n"
               "  --trailing-at K       send stray bytes right after the reply to frame K\n"
               "  --trailing-bytes N    how many stray bytes (3)\n"
               "  --hangup-at K         hang the line up at frame K, then offer a new one\n"
               "  --blank-fail          the first blank check reports non-blank\n"
               "  --verify-fail         the first verify fails\n"
               "  --wrong-model-at K    answer the version read that is frame K with model 0575\n"
               "  --flood               send unasked bytes all the time\n"
               "  --flood-after K       start sending them once frame K has come\n"
               "The first stdout line is the device path; stdin takes \"dump\" and \"quit\".\n",
        to);
}

bool parseInt(const char *text, int &out)
{
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno || end == text || *end || v < 0 || v > 100000000)
        return false;
    out = int(v);
    return true;
}

bool parseOptions(int argc, char **argv, Options &o)
{
    enum {
        Model = 1000,
        Version,
        VersionMinor,
        NoFirmware,
        UnitBaud,
        Mode,
        Pace,
        DelayMs,
        DelayAt,
        LogFile,
        MemoryFile,
        Blank,
        NoReplyAt,
        BadStartAt,
        SplitAt,
        SplitGapMs,
        TrailingAt,
        TrailingBytes,
        HangupAt,
        BlankFail,
        VerifyFail,
        WrongModelAt,
        Flood,
        FloodAfter,
        Help
    };
    static const option longOptions[] = {
        {"model", required_argument, nullptr, Model},
        {"version", required_argument, nullptr, Version},
        {"version-minor", required_argument, nullptr, VersionMinor},
        {"no-firmware", no_argument, nullptr, NoFirmware},
        {"unit-baud", required_argument, nullptr, UnitBaud},
        {"mode", required_argument, nullptr, Mode},
        {"pace", no_argument, nullptr, Pace},
        {"delay-ms", required_argument, nullptr, DelayMs},
        {"delay-at", required_argument, nullptr, DelayAt},
        {"log", required_argument, nullptr, LogFile},
        {"memory", required_argument, nullptr, MemoryFile},
        {"blank", no_argument, nullptr, Blank},
        {"no-reply-at", required_argument, nullptr, NoReplyAt},
        {"bad-start-at", required_argument, nullptr, BadStartAt},
        {"split-at", required_argument, nullptr, SplitAt},
        {"split-gap-ms", required_argument, nullptr, SplitGapMs},
        {"trailing-at", required_argument, nullptr, TrailingAt},
        {"trailing-bytes", required_argument, nullptr, TrailingBytes},
        {"hangup-at", required_argument, nullptr, HangupAt},
        {"blank-fail", no_argument, nullptr, BlankFail},
        {"verify-fail", no_argument, nullptr, VerifyFail},
        {"wrong-model-at", required_argument, nullptr, WrongModelAt},
        {"flood", no_argument, nullptr, Flood},
        {"flood-after", required_argument, nullptr, FloodAfter},
        {"help", no_argument, nullptr, Help},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        bool ok = true;
        const std::string arg = optarg ? optarg : "";
        switch (c) {
        case Model:
            o.identity.model = arg;
            ok = arg.size() == 4;
            break;
        case Version:
            o.identity.version = arg;
            ok = arg.size() == 4;
            break;
        case VersionMinor:
            o.identity.versionMinor = arg;
            ok = arg.size() == 2;
            break;
        case NoFirmware: o.identity.hasFirmware = false; break;
        case UnitBaud: ok = parseInt(optarg, o.unitBaud); break;
        case Mode:
            ok = arg == "boot" || arg == "normal";
            o.bootMode = arg == "boot";
            break;
        case Pace: o.pace = true; break;
        case DelayMs: ok = parseInt(optarg, o.delayMs); break;
        case DelayAt: ok = parseInt(optarg, o.delayAt); break;
        case LogFile: o.logPath = arg; break;
        case MemoryFile: o.memoryPath = arg; break;
        case Blank: o.blank = true; break;
        case NoReplyAt: ok = parseInt(optarg, o.noReplyAt); break;
        case BadStartAt: ok = parseInt(optarg, o.badStartAt); break;
        case SplitAt: ok = parseInt(optarg, o.splitAt); break;
        case SplitGapMs: ok = parseInt(optarg, o.splitGapMs); break;
        case TrailingAt: ok = parseInt(optarg, o.trailingAt); break;
        case TrailingBytes: ok = parseInt(optarg, o.trailingBytes); break;
        case HangupAt: ok = parseInt(optarg, o.hangupAt); break;
        case BlankFail: o.blankFail = true; break;
        case VerifyFail: o.verifyFail = true; break;
        case WrongModelAt: ok = parseInt(optarg, o.wrongModelAt); break;
        case Flood: o.flood = true; break;
        case FloodAfter: ok = parseInt(optarg, o.floodAfter); break;
        case Help: usage(stdout); std::exit(0);
        default: ok = false; break;
        }
        if (!ok) {
            std::fprintf(stderr, "axr574-sim: bad option or value: %s\n", argv[optind - 1]);
            usage(stderr);
            return false;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "axr574-sim: unexpected argument: %s\n", argv[optind]);
        return false;
    }
    return true;
}

int baudOf(speed_t s)
{
    static const struct
    {
        speed_t code;
        int baud;
    } table[] = {
        {B50, 50},
        {B75, 75},
        {B110, 110},
        {B134, 134},
        {B150, 150},
        {B200, 200},
        {B300, 300},
        {B600, 600},
        {B1200, 1200},
        {B1800, 1800},
        {B2400, 2400},
        {B4800, 4800},
        {B9600, 9600},
        {B19200, 19200},
        {B38400, 38400},
        {B57600, 57600},
        {B115200, 115200},
        {B230400, 230400},
        {B460800, 460800},
        {B921600, 921600},
    };
    for (const auto &e : table)
        if (e.code == s)
            return e.baud;
    return 0;
}

timespec toTimespec(double seconds)
{
    timespec ts {};
    ts.tv_sec = time_t(std::floor(seconds));
    ts.tv_nsec = long((seconds - std::floor(seconds)) * 1e9);
    if (ts.tv_nsec >= 1000000000L)
        ts.tv_nsec = 999999999L;
    return ts;
}

// Sleeps most of the way and spins the rest: a reply that comes late by a
// scheduler tick would look like a slow line, a few microseconds of spinning
// cost nothing.
void sleepUntil(double deadline)
{
    const double spin = 200e-6;
    if (deadline - sim::now() > spin) {
        const timespec ts = toTimespec(deadline - spin);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && !g_stop) { }
    }
    while (sim::now() < deadline && !g_stop) { }
}

class Simulator
{
public:
    explicit Simulator(const Options &o)
        : m_opt(o)
        , m_unit(o.identity, o.blank)
        , m_bootMode(o.bootMode)
    { }

    bool start();
    int run();

private:
    struct Pending
    {
        bool active = false;
        int n = 0;
        double deadline = 0;
        frame::Bytes reply;
        std::size_t split = 0; // bytes in the first piece, 0 for one piece
        frame::Bytes trailing;
    };

    bool openPty();
    void announce() const;
    void closePty();
    int lineBaud() const;
    std::string lineFraming() const;
    bool writeAll(const frame::Bytes &bytes);
    void readMaster();
    void readStdin();
    void processInput();
    void takeNoise(std::size_t count);
    void handleFrame(std::size_t length);
    void handleWake(std::size_t start, std::size_t end);
    void schedule(int n, frame::Bytes reply, double tFirst, std::size_t packetBytes, int baud);
    void servicePending();
    void hangUp(int n);
    void flood();
    void fault(int n, const char *kind) { m_log.write(sim::JsonLine("fault").num("n", n).text("kind", kind)); }
    void violation(int n, const std::string &what);
    void saveMemory();
    const char *modeName() const { return m_bootMode ? "boot" : "normal"; }

    Options m_opt;
    sim::UnitModel m_unit;
    sim::Log m_log;
    bool m_bootMode;
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
    frame::Bytes m_in;
    std::vector<double> m_inTimes;
    int m_frames = 0;
    Pending m_pending;
    bool m_quit = false;
    bool m_stdinOpen = true;
    std::string m_stdinLine;
    double m_nextFlood = 0;
    std::size_t m_floodIndex = 0;
};

bool Simulator::start()
{
    if (!m_opt.logPath.empty() && !m_log.open(m_opt.logPath)) {
        std::fprintf(stderr, "axr574-sim: cannot write %s\n", m_opt.logPath.c_str());
        return false;
    }
    if (m_opt.flood)
        fault(0, "flood");
    if (!openPty())
        return false;
    saveMemory();
    announce();
    return true;
}

bool Simulator::openPty()
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        std::perror("axr574-sim: pseudo-terminal");
        return false;
    }
    const char *name = ptsname(m_master);
    if (!name)
        return false;
    const std::string path = name;
    m_path = path;
    // Holding the slave open keeps reads on the master from failing with EIO
    // while no host has the port open, and keeps its settings between opens.
    m_slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio {};
    if (m_slave < 0 || tcgetattr(m_slave, &tio) != 0) {
        std::perror("axr574-sim: slave");
        return false;
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tcsetattr(m_slave, TCSANOW, &tio);
    return true;
}

void Simulator::announce() const
{
    std::printf("%s\n", m_path.c_str());
    std::fflush(stdout);
}

void Simulator::closePty()
{
    if (m_slave >= 0)
        close(m_slave);
    if (m_master >= 0)
        close(m_master);
    m_slave = m_master = -1;
    m_in.clear();
    m_inTimes.clear();
}

// The pty master reports the settings the host gave its end of the line.
int Simulator::lineBaud() const
{
    termios tio {};
    if (tcgetattr(m_master, &tio) != 0)
        return 0;
    return baudOf(cfgetospeed(&tio));
}

// Data bits, parity and stop bits as the host set them: "8N1".
std::string Simulator::lineFraming() const
{
    termios tio {};
    if (tcgetattr(m_master, &tio) != 0)
        return std::string();
    const tcflag_t size = tio.c_cflag & CSIZE;
    std::string framing(1, size == CS5 ? '5' : size == CS6 ? '6' : size == CS7 ? '7' : '8');
    framing += !(tio.c_cflag & PARENB) ? 'N' : (tio.c_cflag & PARODD) ? 'O' : 'E';
    framing += (tio.c_cflag & CSTOPB) ? '2' : '1';
    return framing;
}

bool Simulator::writeAll(const frame::Bytes &bytes)
{
    std::size_t done = 0;
    int stalls = 0;
    while (done < bytes.size() && m_master >= 0) {
        const ssize_t w = write(m_master, bytes.data() + done, bytes.size() - done);
        if (w > 0) {
            done += std::size_t(w);
            stalls = 0;
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN)
            return false;
        // The host is not reading; give it a while, then drop the rest.
        pollfd p {m_master, POLLOUT, 0};
        if (poll(&p, 1, 100) <= 0 && ++stalls > 20)
            return false;
    }
    return done == bytes.size();
}

int Simulator::run()
{
    while (!g_stop && !m_quit) {
        double timeout = 0.1;
        if (m_pending.active) {
            const double left = m_pending.deadline - sim::now() - 0.003;
            if (left <= 0) {
                servicePending();
                continue;
            }
            timeout = std::min(timeout, left);
        }
        if (m_opt.flood)
            timeout = std::max(0.0, std::min(timeout, m_nextFlood - sim::now()));
        pollfd fds[2] = {{m_master, POLLIN, 0}, {m_stdinOpen ? 0 : -1, POLLIN, 0}};
        const int r = poll(fds, 2, int(std::ceil(timeout * 1000)));
        if (r < 0 && errno != EINTR)
            break;
        if (r > 0 && fds[0].revents)
            readMaster();
        if (r > 0 && fds[1].revents)
            readStdin();
        if (m_opt.flood && sim::now() >= m_nextFlood)
            flood();
    }
    saveMemory();
    m_log.flush();
    closePty();
    return 0;
}

void Simulator::readMaster()
{
    std::uint8_t buf[4096];
    for (;;) {
        const ssize_t r = read(m_master, buf, sizeof buf);
        if (r > 0) {
            const double t = sim::now();
            m_in.insert(m_in.end(), buf, buf + r);
            m_inTimes.insert(m_inTimes.end(), std::size_t(r), t);
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno == EIO) {
            // No slave end open: nothing to read until a host opens it.
            usleep(10000);
        }
        break;
    }
    processInput();
}

void Simulator::readStdin()
{
    char buf[256];
    const ssize_t r = read(0, buf, sizeof buf);
    if (r <= 0) {
        if (r == 0 || errno != EINTR) {
            m_stdinOpen = false;
            m_quit = true;
        }
        return;
    }
    m_stdinLine.append(buf, std::size_t(r));
    std::size_t nl;
    while ((nl = m_stdinLine.find('\n')) != std::string::npos) {
        std::string line = m_stdinLine.substr(0, nl);
        m_stdinLine.erase(0, nl + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (line == "dump") {
            saveMemory();
            m_log.flush();
            std::printf("dumped\n");
            std::fflush(stdout);
        } else if (line == "quit") {
            m_quit = true;
        }
    }
}

void Simulator::takeNoise(std::size_t count)
{
    if (count == 0)
        return;
    const frame::Bytes noise(m_in.begin(), m_in.begin() + std::ptrdiff_t(count));
    m_log.write(sim::JsonLine("noise").time("t", m_inTimes.front()).hex("raw", noise));
    m_in.erase(m_in.begin(), m_in.begin() + std::ptrdiff_t(count));
    m_inTimes.erase(m_inTimes.begin(), m_inTimes.begin() + std::ptrdiff_t(count));
}

void Simulator::processInput()
{
    while (!m_in.empty() && m_master >= 0) {
        std::size_t start = 0;
        while (start + 1 < m_in.size() && !(m_in[start] == frame::kStart && m_in[start + 1] == frame::kStart))
            ++start;
        frame::Bytes wire;
        const std::size_t frameEnd = frame::findFrame(m_in, wire);
        std::size_t wakeEnd = 0;
        if (!m_bootMode) {
            const auto it = std::search(m_in.begin(), m_in.end(), kWakeTail.begin(), kWakeTail.end());
            if (it != m_in.end())
                wakeEnd = std::size_t(it - m_in.begin()) + kWakeTail.size();
        }
        if (wakeEnd && (!frameEnd || wakeEnd <= frameEnd)) {
            const std::size_t wakeStart = wakeEnd > kWakeLength ? wakeEnd - kWakeLength : 0;
            takeNoise(wakeStart);
            handleWake(0, wakeEnd - wakeStart);
            continue;
        }
        if (frameEnd) {
            takeNoise(frameEnd - wire.size());
            handleFrame(wire.size());
            continue;
        }
        // Nothing complete yet: keep what may still become a frame (from a
        // start pair on, or the tail that may grow into a wake frame).
        std::size_t keep = m_in.size() - start;
        if (start + 1 == m_in.size() && m_in[start] != frame::kStart)
            keep = 0;
        if (!m_bootMode)
            keep = std::max(keep, std::min(m_in.size(), kWakeLength - 1));
        if (m_in.size() > kMaxBuffered)
            keep = 0;
        takeNoise(m_in.size() - keep);
        break;
    }
}

void Simulator::violation(int n, const std::string &what)
{
    m_log.write(sim::JsonLine("violation").num("n", n).text("what", what));
    m_unit.noteViolation();
}

void Simulator::handleFrame(std::size_t length)
{
    const frame::Bytes wire(m_in.begin(), m_in.begin() + std::ptrdiff_t(length));
    const double tFirst = m_inTimes.front();
    const double tLast = m_inTimes[length - 1];
    m_in.erase(m_in.begin(), m_in.begin() + std::ptrdiff_t(length));
    m_inTimes.erase(m_inTimes.begin(), m_inTimes.begin() + std::ptrdiff_t(length));

    const int n = ++m_frames;
    const int baud = lineBaud();
    const auto body = frame::check(wire);
    // The command text is what a host reads at those positions, checked or not.
    const frame::Bytes cmdBytes = body
        ? frame::Bytes(body->begin(), body->begin() + 2)
        : frame::Bytes(wire.begin() + 2, wire.begin() + std::min<std::ptrdiff_t>(4, std::ptrdiff_t(wire.size())));
    const std::string cmd = frame::toHex(cmdBytes);
    sim::JsonLine line("frame");
    line.num("n", n).time("t_first", tFirst).time("t_last", tLast).num("baud", baud).text("line", lineFraming());
    line.hex("raw", wire).text("cmd", cmd);
    const bool hasAddress = body && body->size() >= 6
        && (cmd == "0301" || cmd == "0202" || cmd == "0A02" || cmd == "0A01" || cmd == "0B01");
    if (hasAddress)
        line.num("addr", long((*body)[2] | (*body)[3] << 8 | (*body)[4] << 16));
    else
        line.null("addr");
    m_log.write(line.text("mode", modeName()));

    if (!m_bootMode) {
        // The running firmware does not speak the bootloader's protocol.
    } else if (m_pending.active) {
        violation(n, "frame while reply owed");
    } else if (!body) {
        violation(n, "bad frame");
    } else {
        if (m_opt.blankFail && cmd == "0A02") {
            m_opt.blankFail = false;
            m_unit.failNextBlankCheck();
            fault(n, "blank-fail");
        }
        if (m_opt.verifyFail && cmd == "0A01") {
            m_opt.verifyFail = false;
            m_unit.failNextVerify();
            fault(n, "verify-fail");
        }
        if (n == m_opt.wrongModelAt && cmd == "0001") {
            m_unit.misreportNextModel("0575");
            fault(n, "wrong-model");
        }
        const sim::Outcome out = m_unit.execute(*body);
        if (!out.violation.empty()) {
            violation(n, out.violation);
        } else if (out.finished) {
            m_bootMode = false;
            // Written before the event is, so that whoever reads the log from
            // afar finds the memory as the update left it.
            saveMemory();
            m_log.write(sim::JsonLine("finish").num("n", n));
        } else if (!out.reply.empty()) {
            schedule(n, out.reply, tFirst, wire.size(), baud);
        }
    }
    if (n == m_opt.floodAfter && !m_opt.flood) {
        m_opt.flood = true;
        m_nextFlood = sim::now();
        fault(n, "flood");
    }
    if (n == m_opt.hangupAt)
        hangUp(n);
}

void Simulator::handleWake(std::size_t start, std::size_t end)
{
    const frame::Bytes raw(m_in.begin() + std::ptrdiff_t(start), m_in.begin() + std::ptrdiff_t(end));
    const double tFirst = m_inTimes[start];
    const double tLast = m_inTimes[end - 1];
    m_in.erase(m_in.begin(), m_in.begin() + std::ptrdiff_t(end));
    m_inTimes.erase(m_inTimes.begin(), m_inTimes.begin() + std::ptrdiff_t(end));

    const int n = ++m_frames;
    const int baud = lineBaud();
    // A real unit only makes sense of bytes sent at the rate it listens at.
    const bool acked = baud == m_opt.unitBaud && !m_pending.active;
    m_log.write(sim::JsonLine("wake")
                    .num("n", n)
                    .time("t_first", tFirst)
                    .time("t_last", tLast)
                    .num("baud", baud)
                    .hex("raw", raw)
                    .text("cmd", "0000")
                    .null("addr")
                    .text("mode", modeName())
                    .flag("acked", acked));
    if (acked) {
        // Frames that follow belong to the bootloader, even before the
        // acknowledgement has gone out.
        m_bootMode = true;
        schedule(n, kWakeTail, tFirst, raw.size(), baud);
    }
    if (n == m_opt.hangupAt)
        hangUp(n);
}

void Simulator::schedule(int n, frame::Bytes reply, double tFirst, std::size_t packetBytes, int baud)
{
    double base = sim::now();
    if (m_opt.pace && baud > 0)
        base = std::max(base, tFirst + double(packetBytes + reply.size()) * 10.0 / baud);
    m_pending = Pending();
    const bool delayed = m_opt.delayAt == 0 || n == m_opt.delayAt;
    m_pending.deadline = base + (delayed ? m_opt.delayMs : 0) / 1000.0;
    m_pending.n = n;
    if (n == m_opt.noReplyAt) {
        fault(n, "no-reply");
        return;
    }
    if (n == m_opt.badStartAt) {
        fault(n, "bad-start");
        reply[0] = reply[1] = 0xF0;
    }
    if (n == m_opt.delayAt)
        fault(n, "late");
    if (n == m_opt.splitAt) {
        fault(n, "split");
        m_pending.split = reply.size() / 2;
    }
    if (n == m_opt.trailingAt) {
        fault(n, "trailing");
        m_pending.trailing.assign(std::size_t(m_opt.trailingBytes), 0x55);
    }
    m_pending.reply = std::move(reply);
    m_pending.active = true;
}

void Simulator::servicePending()
{
    // Whatever arrived while the reply was owed is read first, so that it is
    // judged as such.
    readMaster();
    if (!m_pending.active)
        return;
    sleepUntil(m_pending.deadline);
    readMaster();
    if (!m_pending.active)
        return;
    const Pending p = m_pending;
    const double tStart = sim::now();
    if (p.split) {
        writeAll(frame::Bytes(p.reply.begin(), p.reply.begin() + std::ptrdiff_t(p.split)));
        sleepUntil(sim::now() + m_opt.splitGapMs / 1000.0);
        readMaster();
        if (!m_pending.active)
            return;
        writeAll(frame::Bytes(p.reply.begin() + std::ptrdiff_t(p.split), p.reply.end()));
    } else if (!p.trailing.empty()) {
        // One write, so that the stray bytes are on the line before the host
        // can send its next packet, as they would follow a reply on a wire.
        frame::Bytes both = p.reply;
        both.insert(both.end(), p.trailing.begin(), p.trailing.end());
        writeAll(both);
    } else {
        writeAll(p.reply);
    }
    const double tEnd = sim::now();
    m_pending.active = false;
    m_log.write(sim::JsonLine("reply").num("n", p.n).time("t_start", tStart).time("t_end", tEnd).hex("raw", p.reply));
    if (p.split && !p.trailing.empty())
        writeAll(p.trailing);
}

void Simulator::hangUp(int n)
{
    fault(n, "hangup");
    m_log.write(sim::JsonLine("hangup").num("n", n));
    m_pending.active = false;
    // The next line is made before the old one goes, so that it gets another
    // name and a host cannot mistake it for the line it lost.
    const int oldMaster = m_master;
    const int oldSlave = m_slave;
    const bool reopened = openPty();
    close(oldSlave);
    close(oldMaster);
    m_in.clear();
    m_inTimes.clear();
    const timespec pause {0, 200 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    if (reopened)
        announce();
    else
        m_quit = true;
}

void Simulator::flood()
{
    static const std::uint8_t pattern[] = {0xAA, 0x55, 0xFF, 0x00, 0x33};
    const std::uint8_t b = pattern[m_floodIndex++ % sizeof pattern];
    if (write(m_master, &b, 1) < 0) {
        // A full line just loses the byte, like a real one would.
    }
    m_nextFlood = sim::now() + 0.0015;
}

void Simulator::saveMemory()
{
    if (m_opt.memoryPath.empty())
        return;
    std::FILE *f = std::fopen(m_opt.memoryPath.c_str(), "wb");
    if (!f) {
        std::fprintf(stderr, "axr574-sim: cannot write %s\n", m_opt.memoryPath.c_str());
        return;
    }
    std::fwrite(m_unit.memory().data(), 1, m_unit.memory().size(), f);
    std::fclose(f);
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parseOptions(argc, argv, options))
        return 2;

    struct sigaction sa
    {
    };
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Wake-ups within a microsecond of the deadline instead of the default 50 us slack.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    Simulator simulator(options);
    if (!simulator.start())
        return 1;
    return simulator.run();
}

// The updater through the Linux kernel's own serial drivers, in the guest that
// tests/vm/vm-run boots: simulated units behind two emulated FTDI adapters
// (ttyUSB0, ttyUSB1, under ftdi_sio) and an emulated 16550 (ttyS1, under
// 8250). It runs as a member of dialout, as a person would, and becomes root
// only to pull an adapter or to take a permission away.
#include "tests/harness.h"

#include "link/systemports.h"
#include "update/packets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uid_t kUser = 65534; // nobody
constexpr gid_t kDialout = 20;
const QString kTrigger = QStringLiteral("/sys/class/tty/ttyS1/rx_trig_bytes");
const int kProgramming = 1 + int(firmware::ErasePacketCount) + 1; // waits before the first program packet

QString readLine(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).trimmed() : QString();
}

void asRoot(const std::function<void()> &action)
{
    QVERIFY(::seteuid(0) == 0);
    action();
    QVERIFY(::seteuid(kUser) == 0);
}

bool writeLine(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && file.write(text) == text.size();
}

// The USB device a tty hangs on, where its "authorized" switch is.
QString usbDeviceOf(const QString &tty)
{
    QString dir = QFileInfo("/sys/class/tty/" + tty + "/device").canonicalFilePath();
    while (dir.startsWith("/sys/devices/") && !QFile::exists(dir + "/idVendor"))
        dir = QFileInfo(dir).path();
    return dir;
}

// By the effective ids, which are ours; the real ones stay root's.
bool usableByUs(const QString &path, int mode)
{
    return ::faccessat(AT_FDCWD, qPrintable(path), mode, AT_EACCESS) == 0;
}

// Unplugs or plugs back the adapter, as far as its driver can tell; the
// driver lets go of its tty a moment later.
void plug(const QString &usbDevice, bool plugged)
{
    asRoot([&] { QVERIFY(writeLine(usbDevice + "/authorized", plugged ? "1" : "0")); });
}

// Back means usable by dialout again, which udev sees to.
bool waitUntilUsable(const QString &tty, bool usable)
{
    return QTest::qWaitFor([&] { return usableByUs("/dev/" + tty, R_OK | W_OK) == usable; }, 20000);
}

// A unit whose log and memory vm-run keeps in the results share.
void attach(SimUnit &unit, const char *name, const QString &device)
{
    unit.attach(qEnvironmentVariable("AXR574_VM_SHARE") + "/" + name, device);
    unit.forget();
}

// Frames the unit logged since it was last forgotten; -1 when its log
// cannot be read, which must not pass for none.
qsizetype framesOf(const SimUnit &unit)
{
    return unit.logReadable() ? unit.frames().size() : -1;
}

// Puts the unit behind the device in its bootloader (a wake frame at the rate
// its firmware listens at, which a bootloader takes for noise) or in its
// firmware (the finish command), whatever an earlier test left it in.
void putUnit(SimUnit &unit, const QString &device, bool inBootloader)
{
    QSerialPort port(device);
    QVERIFY(port.open(QIODevice::ReadWrite));
    port.setBaudRate(4800);
    port.write(QByteArray::fromHex(inBootloader ? firmware::kWakeFrame : firmware::kFinish));
    QVERIFY(port.waitForBytesWritten(2000));
    port.waitForReadyRead(300); // the acknowledgement, where the firmware ran
    port.close();
    unit.forget();
}

bool lowLatencyOf(const QString &device)
{
    const int fd = ::open(qPrintable(device), O_RDWR | O_NONBLOCK | O_NOCTTY);
    serial_struct info {};
    const bool on = fd >= 0 && ::ioctl(fd, TIOCGSERIAL, &info) == 0 && (info.flags & ASYNC_LOW_LATENCY);
    ::close(fd);
    return on;
}

void choose(Bench &bench, const char *box, const QString &text)
{
    // As a person picks it: the window reacts to a choice, not to a change.
    auto *combo = bench.child<QComboBox>(box);
    combo->setFocus();
    bench.press(Qt::Key_Home);
    for (int i = 0; i < combo->count() && combo->currentText() != text; ++i)
        bench.press(Qt::Key_Down);
    QCOMPARE(combo->currentText(), text);
}

// The whole update since the unit's log was last forgotten, as the unit saw it.
void checkWholeUpdate(SimUnit &unit, const QByteArray &before, int rate)
{
    QTRY_VERIFY_WITH_TIMEOUT(!unit.events().isEmpty() && unit.events().last().ev == "finish", 10000);
    QCOMPARE(unit.commands(), fullRunCommands());
    QVERIFY2(unit.violations().isEmpty(), qPrintable(unit.violations().join(" | ")));
    // The finish packet may be read after the port closed.
    for (const SimEvent &e : unit.frames())
        QVERIFY2(e.cmd == "0801" || (e.baud == rate && e.line == "8N1"),
            qPrintable(QString("frame %1: %2 %3").arg(e.n).arg(e.baud).arg(e.line)));
    QVERIFY(unit.memory() == memoryAfterUpdate(before));
}

} // namespace

class tst_drivers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void aPulledAdapterEndsTheRunAtOnceAndIsUpdatedOnceBack();
    void aNumberWithoutItsPortSaysWhatIsThere_data();
    void aNumberWithoutItsPortSaysWhatIsThere();
    void noWritableLockFolderIsNoPortInUse();
    void udevLetsDialoutSetTheTrigger();
    void theDriverIsLeftAsItWasHoweverTheProgramEnds_data();
    void theDriverIsLeftAsItWasHoweverTheProgramEnds();

private:
    int m_consoleWatch = -1; // fails the run if anything opens the guest's console port
    QStringList m_adapters; // the USB devices of ttyUSB0 and ttyUSB1 as the guest came up
};

void tst_drivers::initTestCase()
{
    m_consoleWatch = ::inotify_init1(IN_NONBLOCK);
    QVERIFY(::inotify_add_watch(m_consoleWatch, "/dev/ttyS0", IN_OPEN) >= 0);
    systemports::setModuleDirectory(qEnvironmentVariable("AXR574_VM_MODULES"));
    m_adapters = QStringList {usbDeviceOf("ttyUSB0"), usbDeviceOf("ttyUSB1")};
    QVERIFY(m_adapters[0] != m_adapters[1]);
    const gid_t groups[] = {kDialout};
    QVERIFY(::setgroups(1, groups) == 0 && ::setegid(kUser) == 0 && ::seteuid(kUser) == 0);
}

void tst_drivers::init()
{
    // Both adapters in and driven, each under its own name, whatever the
    // test before left.
    if (usbDeviceOf("ttyUSB0") == m_adapters[0] && usbDeviceOf("ttyUSB1") == m_adapters[1])
        return;
    for (const QString &usb : m_adapters)
        plug(usb, false);
    for (int i = 0; i < 2; ++i) {
        plug(m_adapters[i], true);
        QVERIFY(waitUntilUsable(QString("ttyUSB%1").arg(i), true));
    }
}

void tst_drivers::cleanupTestCase()
{
    char events[4096];
    QVERIFY2(::read(m_consoleWatch, events, sizeof events) <= 0, "something opened /dev/ttyS0");
}

void tst_drivers::aPulledAdapterEndsTheRunAtOnceAndIsUpdatedOnceBack()
{
    SimUnit sim;
    attach(sim, "usb1", "/dev/ttyUSB1");
    putUnit(sim, "/dev/ttyUSB1", true);
    const QByteArray before = sim.memory();
    const QString usb = usbDeviceOf("ttyUSB1");
    // What the driver holds while the port is open, and after.
    const QString latency = "/sys/bus/usb-serial/devices/ttyUSB1/latency_timer";
    const QString setting = readLine(latency);
    QVERIFY(!setting.isEmpty() && setting != "1");
    Bench bench;
    QVERIFY(bench.show());
    choose(bench, "cboComPort", "COM2");
    choose(bench, "cboBaudrate", "57600");

    bench.readBoxes(300);
    int pollsAtBox = -1;
    bool openAtBox = true;
    bench.onMessage = [&](const RecordedMessage &) {
        pollsAtBox = bench.polls;
        openAtBox = bench->MSComm1.PortOpen();
    };
    bench.atWait(kProgramming + 100, [&] { plug(usb, false); });
    bench.program();
    QCOMPARE(bench.messageTexts(), QStringList {"Error communicating with Port."});
    QVERIFY(!openAtBox);
    qInfo("the run ended %d polls after the pull", pollsAtBox);
    QVERIFY2(pollsAtBox < 20, qPrintable(QString("%1 polls after the pull").arg(pollsAtBox)));
    QCOMPARE(bench.polls, pollsAtBox); // none while the box was up
    QCOMPARE(bench.unsettled(), QString());

    bench.messages.clear();
    bench.program();
    QCOMPARE(bench.messageTexts().value(0).section("\r\n", 0, 0), QStringLiteral("Selected Com Port is not available."));

    // Back, the same number names it, and a whole update reaches it.
    plug(usb, true);
    QVERIFY(waitUntilUsable("ttyUSB1", true));
    // The emulated adapter, never without power, keeps the 1 ms it had when
    // pulled, and the driver takes it for the adapter's own; a real one
    // comes back at its factory setting, as it is put here.
    asRoot([&] { QVERIFY(writeLine(latency, setting.toLatin1())); });
    bench.messages.clear();
    bench.onMessage = nullptr;
    sim.forget();
    int lines = -1;
    QString whileOpen;
    bench.atWait(kProgramming, [&] {
        ::ioctl(int(bench->MSComm1.handle()), TIOCMGET, &lines);
        whileOpen = readLine(latency);
    });
    bench.program();
    QVERIFY2(bench.messages.isEmpty(), qPrintable(bench.messageTexts().join(" | ")));
    QVERIFY(bench->bSuccess);
    QVERIFY(lines >= 0);
    QVERIFY2(!(lines & (TIOCM_DTR | TIOCM_RTS)), "DTR or RTS on");
    QCOMPARE(whileOpen, QStringLiteral("1"));
    QCOMPARE(readLine(latency), setting);
    checkWholeUpdate(sim, before, 57600);
}

void tst_drivers::aNumberWithoutItsPortSaysWhatIsThere_data()
{
    // What becomes of the adapter behind port 2 (ttyUSB1) before Program on
    // the port given; the test that follows finds both plugged in again.
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("said"); // after the first line; {socket}: the adapter's USB socket
    // The first adapter goes; the second is plugged again, and the kernel
    // gives it the freed name. No unit hears from port 1.
    QTest::newRow("another adapter under the freed name")
        << "replug" << "COM1"
        << "COM1 was /dev/ttyUSB0 (QEMU USB SERIAL), which is not there now.\r\n"
           "Ports present: COM2 (/dev/ttyUSB0, QEMU USB SERIAL), COM3 (/dev/ttyS1).";
    QTest::newRow("no driver") << "unbind" << "COM3"
                               << "Ports present: COM1 (/dev/ttyUSB0, QEMU USB SERIAL), COM2 (/dev/ttyS1).\r\n"
                                  "QEMU USB SERIAL (0403:6001) in USB socket {socket} has no port: no driver is bound "
                                  "to it.";
    // As brltty does it, as root: a program of ours would be named.
    QTest::newRow("taken through usbfs")
        << "usbfs" << "COM3"
        << "Ports present: COM1 (/dev/ttyUSB0, QEMU USB SERIAL), COM2 (/dev/ttyS1).\r\n"
           "QEMU USB SERIAL (0403:6001) in USB socket {socket} has no port: another program holds it through usbfs "
           "(brltty does this).";
}

void tst_drivers::aNumberWithoutItsPortSaysWhatIsThere()
{
    QFETCH(QString, change);
    QFETCH(QString, port);
    QFETCH(QString, said);
    SimUnit first, second;
    attach(first, "usb0", "/dev/ttyUSB0");
    attach(second, "usb1", "/dev/ttyUSB1");
    const QString usb = usbDeviceOf("ttyUSB1");
    const QString socket = QFileInfo(usb).fileName();
    const QByteArray interface = socket.toLatin1() + ":1.0";
    QProcess claim;
    Bench bench;
    if (change == "replug") {
        QVERIFY(bench.show()); // the numbers are given while both are there
        for (const QString &adapter : m_adapters)
            plug(adapter, false);
        QVERIFY(waitUntilUsable("ttyUSB0", false) && waitUntilUsable("ttyUSB1", false));
        plug(usb, true);
        QVERIFY(waitUntilUsable("ttyUSB0", true));
        QCOMPARE(usbDeviceOf("ttyUSB0"), usb);
    } else {
        if (change == "usbfs") {
            asRoot([&] {
                claim.start(AXR574_USBCLAIM_PATH, {QString("/dev/bus/usb/%1/%2")
                                                           .arg(readLine(usb + "/busnum").toInt(), 3, 10, QChar('0'))
                                                           .arg(readLine(usb + "/devnum").toInt(), 3, 10, QChar('0')),
                                                      "0"});
            });
            QVERIFY2(claim.waitForReadyRead(10000) && claim.readLine() == "claimed\n", claim.readAllStandardError());
        } else {
            asRoot([&] { QVERIFY(writeLine("/sys/bus/usb/drivers/ftdi_sio/unbind", interface)); });
        }
        QVERIFY(waitUntilUsable("ttyUSB1", false));
        bench.renewWindow(); // a start without the adapter's port
        QVERIFY(bench.show());
    }
    choose(bench, "cboComPort", port);
    bench.program();
    claim.closeWriteChannel(); // the adapter back to its driver
    QVERIFY(claim.state() == QProcess::NotRunning || claim.waitForFinished(10000));
    QCOMPARE(bench.messageTexts(),
        QStringList {"Selected Com Port is not available.\r\n\r\n" + QString(said).replace("{socket}", socket)});
    QCOMPARE(framesOf(first), 0);
    QCOMPARE(framesOf(second), 0);
}

void tst_drivers::noWritableLockFolderIsNoPortInUse()
{
    // Every folder Qt would write its lock file in, made read-only for us;
    // the guest's root is read-only already.
    const QStringList folders {"/run/lock", "/tmp"};
    Bench bench;
    QVERIFY(bench.show());
    choose(bench, "cboComPort", "COM1");
    asRoot([&] {
        for (const QString &folder : folders)
            QVERIFY(::chmod(qPrintable(folder), 0755) == 0);
    });
    bench.program();
    asRoot([&] {
        for (const QString &folder : folders)
            QVERIFY(::chmod(qPrintable(folder), 01777) == 0);
    });
    QCOMPARE(bench.messageTexts().size(), 1);
    QVERIFY2(bench.messageTexts().first().startsWith("Selected COM Port could not be opened."),
        qPrintable(bench.messageTexts().first()));
}

void tst_drivers::udevLetsDialoutSetTheTrigger()
{
    auto dialoutMayWrite = [] {
        struct stat info = {};
        return ::stat(qPrintable(kTrigger), &info) == 0 && info.st_gid == kDialout && (info.st_mode & S_IWGRP)
            && !(info.st_mode & S_IWOTH);
    };
    QVERIFY(dialoutMayWrite());
    // Nothing else of the port's became writable.
    QVERIFY(!usableByUs("/sys/class/tty/ttyS1/close_delay", W_OK));
    // A port whose node dialout may not open (a getty's) loses the grant
    // when udev next looks at it, and has it again once dialout may.
    const QString helper = qEnvironmentVariable("AXR574_VM_SHARE") + "/install/usr/lib/udev/axr574-firmware-rx-trigger";
    for (const mode_t mode : {0600, 0660}) {
        asRoot([&] {
            QVERIFY(::chmod("/dev/ttyS1", mode) == 0);
            QCOMPARE(QProcess::execute(helper, {"ttyS1"}), 0);
        });
        QCOMPARE(dialoutMayWrite(), mode == 0660);
    }
}

void tst_drivers::theDriverIsLeftAsItWasHoweverTheProgramEnds_data()
{
    QTest::addColumn<bool>("ours");    // the trigger is ours to write
    QTest::addColumn<int>("signal");   // to the demo, updating the unit on its own first
    QTest::addColumn<int>("cancelAt"); // then a run of ours; 0: no Cancel
    QTest::addColumn<QString>("message");
    // A unit running its firmware does not answer without the wake-up.
    QTest::newRow("a failure") << true << 0 << 0 << "Error communicating with Port.";
    QTest::newRow("Cancel while waking") << true << 0 << 10 << "Firmware update was cancelled.";
    // Where it may not be written, the run goes on as it would without it.
    QTest::newRow("not ours to set") << false << 0 << 100 << "Firmware update was cancelled.";
    // The start puts the trigger back, the next open the latency flag.
    QTest::newRow("SIGKILL, then a start") << true << SIGKILL << 2 << "Firmware update was cancelled.";
    // At once, and the unit still in its bootloader answers the next run.
    QTest::newRow("SIGTERM") << true << SIGTERM << 2 << "Firmware update was cancelled.";
}

void tst_drivers::theDriverIsLeftAsItWasHoweverTheProgramEnds()
{
    QFETCH(bool, ours);
    QFETCH(int, signal);
    QFETCH(int, cancelAt);
    QFETCH(QString, message);
    SimUnit sim;
    attach(sim, "ttyS1", "/dev/ttyS1");
    putUnit(sim, "/dev/ttyS1", cancelAt > 0);
    const QString trigger = readLine(kTrigger);
    const bool lowLatency = lowLatencyOf("/dev/ttyS1");
    if (!ours)
        asRoot([] { QVERIFY(::chmod(qPrintable(kTrigger), 0644) == 0); });

    if (signal) {
        QProcess demo;
        demo.setChildProcessModifier([] {
            if (::setresgid(kUser, kUser, kUser) != 0 || ::setresuid(kUser, kUser, kUser) != 0)
                ::_exit(125);
        });
        demo.start(AXR574_DEMO_PATH, {"--auto", "/tmp/axr574-demo.png", "/dev/ttyS1"});
        QTRY_VERIFY_WITH_TIMEOUT(sim.commands().contains("0202"), 60000);
        QCOMPARE(readLine(kTrigger), QStringLiteral("1"));
        ::kill(pid_t(demo.processId()), signal);
        QVERIFY(demo.waitForFinished(20000));
        if (signal == SIGKILL) {
            QCOMPARE(readLine(kTrigger), QStringLiteral("1"));
        } else {
            // Ended as closing the window ends a run, with the signal's status.
            QCOMPARE(demo.exitStatus(), QProcess::NormalExit);
            QCOMPARE(demo.exitCode(), 128 + SIGTERM);
            QCOMPARE(readLine(kTrigger), trigger);
            QCOMPARE(lowLatencyOf("/dev/ttyS1"), lowLatency);
        }
    }
    Bench bench; // a start
    QCOMPARE(readLine(kTrigger), trigger);
    QVERIFY(bench.show());
    choose(bench, "cboComPort", "COM3");
    bench.child<QCheckBox>("chkRemote")->setChecked(cancelAt > 2);
    QString whileOpen;
    bench.atWait(cancelAt ? cancelAt : 1, [&] {
        whileOpen = readLine(kTrigger);
        if (cancelAt)
            bench.press(Qt::Key_Escape);
    });
    bench.program();
    if (!ours)
        asRoot([] { QVERIFY(::chmod(qPrintable(kTrigger), 0664) == 0); });
    QCOMPARE(bench.messageTexts(), QStringList {message});
    QCOMPARE(whileOpen, ours ? QStringLiteral("1") : trigger);
    QCOMPARE(readLine(kTrigger), trigger);
    QCOMPARE(lowLatencyOf("/dev/ttyS1"), lowLatency);
}

QTEST_MAIN(tst_drivers)
#include "tst_drivers.moc"

// The updater through the Linux kernel's own serial drivers, in the guest that
// tests/vm/vm-run boots: simulated units behind two emulated FTDI adapters
// (ttyUSB0, ttyUSB1, under ftdi_sio) and an emulated 16550 (ttyS1, under
// 8250). It runs as a member of dialout, as a person would, and becomes root
// only to pull an adapter or to take a permission away.
#include "tests/harness.h"

#include "update/packets.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
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

// Fails the run if anything opens the guest's console port.
class ConsoleGuard
{
public:
    ConsoleGuard()
        : m_fd(::inotify_init1(IN_NONBLOCK))
    {
        m_watching = m_fd >= 0 && ::inotify_add_watch(m_fd, "/dev/ttyS0", IN_OPEN) >= 0;
    }
    ~ConsoleGuard() { ::close(m_fd); }
    bool watching() const { return m_watching; }
    bool opened() const
    {
        char events[4096];
        return ::read(m_fd, events, sizeof events) > 0;
    }

private:
    int m_fd;
    bool m_watching = false;
};

} // namespace

class tst_drivers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void thePortListNamesTheAdapterFirst();
    void wholeUpdates_data();
    void wholeUpdates();
    void aPulledAdapterEndsTheRunAtOnce();
    void aPulledAdapterPassesItsNumberToNoOther();
    void noWritableLockFolderIsNoPortInUse();
    void udevLetsDialoutSetTheTrigger();
    void theTriggerIsPutBackHoweverTheRunEnds_data();
    void theTriggerIsPutBackHoweverTheRunEnds();

private:
    std::unique_ptr<ConsoleGuard> m_guard;
};

void tst_drivers::initTestCase()
{
    m_guard = std::make_unique<ConsoleGuard>();
    QVERIFY(m_guard->watching());
    const gid_t groups[] = {kDialout};
    QVERIFY(::setgroups(1, groups) == 0 && ::setegid(kUser) == 0 && ::seteuid(kUser) == 0);
}

void tst_drivers::cleanupTestCase()
{
    QVERIFY2(!m_guard->opened(), "something opened /dev/ttyS0");
}

void tst_drivers::thePortListNamesTheAdapterFirst()
{
    Bench bench;
    QVERIFY(bench.show());
    auto *box = bench.child<QComboBox>("cboComPort");
    box->setFocus();
    bench.press(Qt::Key_Down, Qt::AltModifier);
    QTRY_VERIFY(box->view()->isVisible());
    QStringList tips;
    for (int i = 0; i < 4; ++i)
        tips << box->itemData(i, Qt::ToolTipRole).toString();
    bench.press(Qt::Key_Escape);
    QCOMPARE(tips,
        (QStringList {"/dev/ttyUSB0, QEMU USB SERIAL", "/dev/ttyUSB1, QEMU USB SERIAL", "/dev/ttyS1", "not present"}));
}

void tst_drivers::wholeUpdates_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("device");
    QTest::addColumn<int>("rate");
    QTest::newRow("ftdi_sio 57600") << "COM1"
                                    << "usb0"
                                    << "ttyUSB0" << 57600;
    QTest::newRow("16550 9600") << "COM3"
                                << "ttyS1"
                                << "ttyS1" << 9600;
}

void tst_drivers::wholeUpdates()
{
    QFETCH(QString, port);
    QFETCH(QString, unit);
    QFETCH(QString, device);
    QFETCH(int, rate);
    SimUnit sim;
    attach(sim, qPrintable(unit), "/dev/" + device);
    const QByteArray before = sim.memory();
    // What the driver holds while the port is open, and after.
    const QString driverSetting = device.startsWith("ttyUSB")
        ? "/sys/bus/usb-serial/devices/" + device + "/latency_timer"
        : "/sys/class/tty/" + device + "/rx_trig_bytes";
    const QString setting = readLine(driverSetting);
    QVERIFY(!setting.isEmpty() && setting != "1");

    Bench bench;
    QVERIFY(bench.show());
    choose(bench, "cboComPort", port);
    choose(bench, "cboBaudrate", QString::number(rate));
    int lines = -1;
    QString whileOpen;
    bench.atWait(kProgramming, [&] {
        ::ioctl(int(bench->MSComm1.handle()), TIOCMGET, &lines);
        whileOpen = readLine(driverSetting);
    });
    bench.program();
    QCOMPARE(bench.unsettled(), QString());
    QVERIFY2(bench.messages.isEmpty(), qPrintable(bench.messageTexts().join(" | ")));
    QVERIFY(bench->bSuccess);
    QVERIFY(lines >= 0);
    QVERIFY2(!(lines & (TIOCM_DTR | TIOCM_RTS)), "DTR or RTS on");
    QCOMPARE(whileOpen, QStringLiteral("1"));
    QCOMPARE(readLine(driverSetting), setting);
    checkWholeUpdate(sim, before, rate);
}

void tst_drivers::aPulledAdapterEndsTheRunAtOnce()
{
    SimUnit sim;
    attach(sim, "usb1", "/dev/ttyUSB1");
    const QByteArray before = sim.memory();
    const QString usb = usbDeviceOf("ttyUSB1");
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
    QCOMPARE(bench.messageTexts(), QStringList {"Selected Com Port is not available."});

    plug(usb, true);
    QVERIFY(waitUntilUsable("ttyUSB1", true));
    bench.messages.clear();
    bench.onMessage = nullptr;
    bench->onPoll = nullptr;
    sim.forget();
    bench.program();
    QVERIFY2(bench.messages.isEmpty(), qPrintable(bench.messageTexts().join(" | ")));
    QVERIFY(bench->bSuccess);
    checkWholeUpdate(sim, before, 57600);
}

void tst_drivers::aPulledAdapterPassesItsNumberToNoOther()
{
    SimUnit first, second;
    attach(first, "usb0", "/dev/ttyUSB0");
    attach(second, "usb1", "/dev/ttyUSB1");
    const QString usb = usbDeviceOf("ttyUSB0");
    Bench bench;
    QVERIFY(bench.show());
    choose(bench, "cboComPort", "COM1");
    plug(usb, false);
    QVERIFY(waitUntilUsable("ttyUSB0", false));
    bench.program();
    plug(usb, true);
    QVERIFY(waitUntilUsable("ttyUSB0", true));
    QCOMPARE(bench.messageTexts(), QStringList {"Selected Com Port is not available."});
    QCOMPARE(first.frames().size() + second.frames().size(), 0);
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
    struct stat info
    {
    };
    QVERIFY(::stat(qPrintable(kTrigger), &info) == 0);
    QCOMPARE(info.st_gid, kDialout);
    QVERIFY(info.st_mode & S_IWGRP);
    QVERIFY(!(info.st_mode & S_IWOTH));
    // Nothing else of the port's became writable.
    QVERIFY(!usableByUs("/sys/class/tty/ttyS1/close_delay", W_OK));
}

void tst_drivers::theTriggerIsPutBackHoweverTheRunEnds_data()
{
    QTest::addColumn<bool>("ours");    // the trigger is ours to write
    QTest::addColumn<int>("cancelAt"); // 0: no Cancel
    QTest::addColumn<QString>("message");
    // The unit runs its new firmware after the update: without the wake-up it
    // does not answer.
    QTest::newRow("a failure") << true << 0 << "Error communicating with Port.";
    QTest::newRow("Cancel") << true << 10 << "Firmware update was cancelled.";
    // Where it may not be written, the run goes on as it would without it.
    QTest::newRow("not ours to set") << false << 100 << "Firmware update was cancelled.";
}

void tst_drivers::theTriggerIsPutBackHoweverTheRunEnds()
{
    QFETCH(bool, ours);
    QFETCH(int, cancelAt);
    QFETCH(QString, message);
    const QString setting = readLine(kTrigger);
    if (!ours)
        asRoot([] { QVERIFY(::chmod(qPrintable(kTrigger), 0644) == 0); });
    Bench bench;
    QVERIFY(bench.show());
    choose(bench, "cboComPort", "COM3");
    bench.child<QCheckBox>("chkRemote")->setChecked(cancelAt > 0);
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
    QCOMPARE(whileOpen, ours ? QStringLiteral("1") : setting);
    QCOMPARE(readLine(kTrigger), setting);
}

QTEST_MAIN(tst_drivers)
#include "tst_drivers.moc"

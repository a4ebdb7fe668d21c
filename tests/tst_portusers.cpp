// A port that another program holds, as Linux sees it: a plain open, an
// advisory lock, a lock file. Every run here goes through the real serial code
// to the simulated unit on a pseudo-terminal.
#include "harness.h"

#include "link/portusers.h"

#include <QCheckBox>
#include <QComboBox>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kInUse = QStringLiteral("Selected COM Port is already in use by another application.");

// Another program, as axr574-portholder plays it.
class OtherProgram
{
public:
    explicit OtherProgram(const QStringList &args)
    {
        m_process.start(QStringLiteral(AXR574_PORTHOLDER_PATH), args);
        m_pid = m_process.processId();
        if (m_process.waitForReadyRead(5000))
            m_answer = QString::fromLocal8Bit(m_process.readLine().trimmed());
    }
    ~OtherProgram()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(3000))
            m_process.kill();
    }
    QString answer() const { return m_answer; }
    qint64 pid() const { return m_pid; }

private:
    QProcess m_process;
    QString m_answer;
    qint64 m_pid = 0;
};

// What a program that honours advisory locks gets for the device, asked on a
// descriptor of its own (inherited, so that exclusive mode does not refuse the
// open first for an unprivileged user).
QString askForLock(int fd)
{
    OtherProgram asker({QStringLiteral("--try-flock"), QString::number(fd)});
    return asker.answer();
}

QByteArray lockFileName(const QString &device)
{
    return "LCK.." + QFile::encodeName(device.mid(5)).replace('/', '_');
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QStringList received(SimUnit &sim)
{
    QStringList seen;
    for (const SimEvent &e : sim.events()) {
        if (e.ev == "frame" || e.ev == "wake" || e.ev == "noise")
            seen << e.ev;
    }
    return seen;
}

} // namespace

class tst_portusers : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void lockFilesNameTheirProcessInEitherForm_data();
    void lockFilesNameTheirProcessInEitherForm();
    void heldPortEndsTheRunWithNothingSent_data();
    void heldPortEndsTheRunWithNothingSent();
    void freePortIsRunHoldingTheAdvisoryLock();

private:
    std::unique_ptr<QTemporaryDir> m_locks;
    std::unique_ptr<QTemporaryDir> m_noProcesses;
};

void tst_portusers::init()
{
    m_locks = std::make_unique<QTemporaryDir>();
    m_noProcesses = std::make_unique<QTemporaryDir>();
    portusers::setLockDirectories({m_locks->path()});
}

void tst_portusers::cleanup()
{
    portusers::setLockDirectories({});
    portusers::setProcessTable(QString());
}

void tst_portusers::lockFilesNameTheirProcessInEitherForm_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("pid");
    const auto binary = [](int pid) { return QByteArray(reinterpret_cast<const char *>(&pid), sizeof pid); };
    QTest::newRow("text padded to ten places") << QByteArray("      4242\n") << qint64(4242);
    QTest::newRow("text followed by more lines") << QByteArray("4242\nminicom\nhost\n") << qint64(4242);
    QTest::newRow("text of four bytes") << QByteArray("987\n") << qint64(987);
    QTest::newRow("binary") << binary(4242) << qint64(4242);
    QTest::newRow("binary whose bytes read as digits") << binary(0x3039) << qint64(0x3039); // "90"
    QTest::newRow("binary whose bytes read as blanks and a digit") << binary(0x310920) << qint64(0x310920);
    QTest::newRow("no pid") << QByteArray("minicom\n") << qint64(0);
}

void tst_portusers::lockFilesNameTheirProcessInEitherForm()
{
    QFETCH(QByteArray, content);
    QFETCH(qint64, pid);
    QCOMPARE(portusers::lockFilePid(content), pid);
}

void tst_portusers::heldPortEndsTheRunWithNothingSent_data()
{
    QTest::addColumn<QStringList>("holderArgs");
    QTest::addColumn<QByteArray>("lockFile"); // "text" or "binary": named in a lock file, holding nothing
    QTest::addColumn<bool>("holderVisible");  // its open files can be seen
    QTest::addColumn<QString>("detail");
    QTest::addColumn<bool>("remote"); // Remote Program ticked, an acknowledgement left from an earlier run
    QTest::newRow("open, no lock") << QStringList {"--open"} << QByteArray() << true << "is open in" << false;
    QTest::newRow("open, no lock, Remote Program ticked")
        << QStringList {"--open"} << QByteArray() << true << "is open in" << true;
    QTest::newRow("through Qt's serial port, its lock file elsewhere")
        << QStringList {} << QByteArray() << true << "is open in" << false;
    QTest::newRow("advisory lock, open files not visible")
        << QStringList {"--flock"} << QByteArray() << false << "is locked by" << false;
    QTest::newRow("lock file, pid as text")
        << QStringList {"--wait"} << QByteArray("text") << true << "is locked by" << false;
    QTest::newRow("lock file, pid as binary int")
        << QStringList {"--wait"} << QByteArray("binary") << true << "is locked by" << false;
}

void tst_portusers::heldPortEndsTheRunWithNothingSent()
{
    QFETCH(QStringList, holderArgs);
    QFETCH(QByteArray, lockFile);
    QFETCH(bool, holderVisible);
    QFETCH(QString, detail);
    QFETCH(bool, remote);
    Bench bench;
    QVERIFY(bench.startSim());
    if (remote) {
        bench.child<QCheckBox>("chkRemote")->setChecked(true);
        bench->sReply = QByteArray::fromHex("FEFE3300424C3FFD");
    }
    const QString device = bench.sim().devicePath();
    if (holderArgs.value(0) != "--wait")
        holderArgs << device;
    OtherProgram holder(holderArgs);
    QCOMPARE(holder.answer(), QStringLiteral("held"));
    if (lockFile == "text") {
        QVERIFY(writeFile(
            m_locks->filePath(lockFileName(device)), QByteArray::number(holder.pid()).rightJustified(10, ' ') + '\n'));
    } else if (lockFile == "binary") {
        const int pid = int(holder.pid());
        QVERIFY(
            writeFile(m_locks->filePath(lockFileName(device)), QByteArray(reinterpret_cast<const char *>(&pid), 4)));
    }
    if (!holderVisible)
        portusers::setProcessTable(m_noProcesses->path());
    // The port list says so before anything is tried, where the holder shows.
    QVERIFY(bench.show());
    QCOMPARE(bench.portTips(1), QStringList {device + (holderVisible ? ", in use by axr574-portholder" : "")});

    bench.program();
    QCOMPARE(bench.unsettled(), QString());

    // The probe took the held port for present: the open is what tells.
    QCOMPARE(bench.messageTexts(),
        QStringList {kInUse + "\r\n\r\n"
            + QStringLiteral("%1 %2 axr574-portholder (process %3).").arg(device, detail).arg(holder.pid())});
    QCOMPARE(bench.messages.first().kind, frmMain::MsgKind::Warning);
    QCOMPARE(bench->panelText(1), QStringLiteral("For Help press F1")); // no wake scan claimed, none reported ready
    QVERIFY(bench.sim().dump());
    QCOMPARE(received(bench.sim()), QStringList());
}

void tst_portusers::freePortIsRunHoldingTheAdvisoryLock()
{
    Bench bench;
    QVERIFY(bench.startSim());
    const QString device = bench.sim().devicePath();
    // A lock file left by a program that has ended is stale.
    qint64 gone = 0;
    {
        OtherProgram left({"--wait"});
        QCOMPARE(left.answer(), QStringLiteral("held"));
        gone = left.pid();
    }
    QVERIFY(
        writeFile(m_locks->filePath(lockFileName(device)), QByteArray::number(gone).rightJustified(10, ' ') + '\n'));
    // A descriptor of this process, opened before the run, is the updater's own.
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    auto closeFd = qScopeGuard([fd] { ::close(fd); });
    QVERIFY(bench.show());
    QCOMPARE(bench.portTips(1), QStringList {device});
    QString during;
    bench->onPoll = [&](int) {
        if (during.isEmpty())
            during = askForLock(fd);
    };

    bench.program();
    QCOMPARE(bench.unsettled(), QString());

    QVERIFY2(bench.messages.isEmpty(), qPrintable(bench.messageTexts().join(" | ")));
    QVERIFY(bench.sim().dump());
    QCOMPARE(bench.sim().commands(), fullRunCommands());
    QCOMPARE(during, QStringLiteral("refused"));
    QCOMPARE(askForLock(fd), QStringLiteral("locked")); // released with the port
}

QTEST_MAIN(tst_portusers)
#include "tst_portusers.moc"

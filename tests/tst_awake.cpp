// The computer is kept awake for exactly the length of an update: a stand-in
// logind on a private system bus lists the inhibitor while the run is under
// way and no longer once it has ended, however it ended.
#include "harness.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QtTest>

namespace {

const QString kPython = QStringLiteral("/usr/bin/python3"); // where Debian's python3-dbusmock lives
const QString kLogind = QStringLiteral("org.freedesktop.login1");

struct Inhibitor
{
    QString what, who, why, mode;
};

// dbus-daemon listening on a socket of the test's choosing, with dbusmock's
// logind template on it. Stopping it takes the socket away again.
class FakeLogind
{
public:
    explicit FakeLogind(const QString &socket)
        : m_socket(socket)
    { }

    ~FakeLogind()
    {
        QDBusConnection::disconnectFromBus(kConnection);
        for (QProcess *process : {&m_mock, &m_bus}) {
            process->terminate();
            if (!process->waitForFinished(5000))
                process->kill();
            process->waitForFinished(1000);
        }
        QFile::remove(m_socket);
    }

    QString start()
    {
        m_bus.start(QStringLiteral("dbus-daemon"),
            {"--session", "--nofork", "--nopidfile", "--print-address=1", "--address=unix:path=" + m_socket});
        if (!m_bus.waitForReadyRead(10000))
            return "dbus-daemon did not start: " + m_bus.readAllStandardError();
        const QString address = QString::fromLocal8Bit(m_bus.readLine()).trimmed();

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address);
        m_mock.setProcessEnvironment(env);
        m_mock.start(kPython, {"-m", "dbusmock", "--system", "--template", "logind"});
        QDBusConnection bus = QDBusConnection::connectToBus(address, kConnection);
        if (!bus.isConnected())
            return "cannot reach the private bus: " + bus.lastError().message();
        if (!QTest::qWaitFor([&] { return bus.interface()->isServiceRegistered(kLogind).value(); }, 10000))
            return "the logind stand-in did not come up: " + m_mock.readAllStandardError();
        return {};
    }

    QList<Inhibitor> inhibitors() const
    {
        const QDBusMessage reply = QDBusConnection(kConnection)
                                       .call(QDBusMessage::createMethodCall(kLogind, "/org/freedesktop/login1",
                                           "org.freedesktop.login1.Manager", "ListInhibitors"));
        QList<Inhibitor> list;
        if (reply.type() != QDBusMessage::ReplyMessage)
            return {{"ListInhibitors failed", reply.errorMessage(), {}, {}}};
        const auto array = reply.arguments().constFirst().value<QDBusArgument>();
        array.beginArray();
        while (!array.atEnd()) {
            Inhibitor i;
            uint uid = 0, pid = 0;
            array.beginStructure();
            array >> i.what >> i.who >> i.why >> i.mode >> uid >> pid;
            array.endStructure();
            list << i;
        }
        array.endArray();
        return list;
    }

private:
    static inline const QString kConnection = QStringLiteral("tst_awake");
    QString m_socket;
    QProcess m_bus;
    QProcess m_mock;
};

} // namespace

class tst_awake : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_socket;

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
            QSKIP("dbus-daemon is not installed (Debian package dbus-daemon)");
        if (QProcess::execute(kPython, {"-c", "import dbusmock"}) != 0)
            QSKIP("python3-dbusmock is not installed");
        // The system bus is looked up once per process, so every case uses this
        // one address; a case without a bus simply starts no daemon on it.
        QVERIFY(m_dir.isValid());
        m_socket = m_dir.filePath(QStringLiteral("system_bus_socket"));
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + QFile::encodeName(m_socket));
    }

    void theInhibitorIsHeldDuringARunAndGoneAfterIt_data()
    {
        QTest::addColumn<bool>("withBus");
        QTest::addColumn<QStringList>("unit");
        QTest::addColumn<QString>("ending");

        QTest::newRow("finished") << true << QStringList {} << "finish";
        QTest::newRow("cancelled while erasing") << true << QStringList {} << "cancel";
        QTest::newRow("the unit stops answering") << true << QStringList {"--no-reply-at", "100"} << "fault";
        QTest::newRow("an equal version not replaced") << true << QStringList {"--version", "1208"} << "refusal";
        QTest::newRow("the window closed while erasing") << true << QStringList {} << "close";
        QTest::newRow("no system bus at all") << false << QStringList {} << "finish";
    }

    void theInhibitorIsHeldDuringARunAndGoneAfterIt()
    {
        QFETCH(bool, withBus);
        QFETCH(QStringList, unit);
        QFETCH(QString, ending);

        std::unique_ptr<FakeLogind> logind;
        if (withBus) {
            logind = std::make_unique<FakeLogind>(m_socket);
            const QString failure = logind->start();
            QVERIFY2(failure.isEmpty(), qPrintable(failure));
        }
        QVERIFY(!QFile::exists(m_socket) == !withBus);

        Bench bench;
        QVERIFY(bench.startSim(unit));

        // Looks once, in the middle of erasing or at the question, then ends
        // the run as the case asks.
        QList<Inhibitor> during;
        bool looked = false;
        const auto look = [&] {
            if (looked)
                return;
            looked = true;
            if (logind)
                during = logind->inhibitors();
            if (ending == "cancel")
                bench.click("cmdExit");
            else if (ending == "close")
                bench->close();
        };
        bench.atWait(50, look);
        bench.onMessage = [&](const RecordedMessage &m) {
            if (m.kind == frmMain::MsgKind::Question)
                look();
        };
        bench.program();
        QVERIFY(looked);

        // The run ended the way the case meant it to.
        QCOMPARE(bench.messageTexts().join(" | "),
            ending == "cancel"        ? "Firmware update was cancelled."
                : ending == "fault"   ? "Error communicating with Port."
                : ending == "refusal" ? "Would you like to replace version 1208 with 1208?"
                                      : "");
        QCOMPARE(bench->successDialog() != nullptr, ending == "finish");
        if (!logind)
            return;
        QCOMPARE(during.size(), 1);
        QCOMPARE(QStringList({during[0].what, during[0].who, during[0].why, during[0].mode}).join('|'),
            QStringLiteral("sleep:idle|AXR-574 Firmware|Updating the unit's firmware|block"));
        // The run has returned, so the descriptor is closed; the stand-in, like
        // logind, drops the inhibitor when it sees the other end hang up.
        QTRY_COMPARE(logind->inhibitors().size(), 0);
    }
};

QTEST_MAIN(tst_awake)
#include "tst_awake.moc"

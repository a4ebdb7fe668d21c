// One updater per user: the real program as separate processes, in a runtime
// directory of the test's own.
#include "harness.h"

#include "ui/singleinstance.h"

#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class tst_instance : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir; // the runtime directory the instances share
    std::vector<std::unique_ptr<QProcess>> m_processes;

    QProcess *startProgram()
    {
        auto *p = m_processes.emplace_back(std::make_unique<QProcess>()).get();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.path());
        env.insert(QStringLiteral("TMPDIR"), m_dir.path());
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(QProcess::ForwardedChannels);
        p->start(QStringLiteral(AXR574_PROGRAM_PATH), {});
        return p->waitForStarted() ? p : nullptr;
    }

    // Waits until a program answers on the socket, i.e. has claimed the lock.
    bool waitUntilListening(int ms = 10000)
    {
        SingleInstance probe(m_dir.path());
        for (QDeadlineTimer deadline(ms); !deadline.hasExpired(); QTest::qWait(50))
            if (probe.askRunningToRaise(500))
                return true;
        return false;
    }

    qint64 lockHolder() const
    {
        qint64 pid = 0;
        QLockFile(SingleInstance(m_dir.path()).lockPath()).getLockInfo(&pid, nullptr, nullptr);
        return pid;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void cleanup()
    {
        for (auto &p : m_processes) {
            p->kill();
            p->waitForFinished(3000);
        }
        m_processes.clear();
    }

    void aSecondStartIsRefusedWithAWarningUntilTheFirstIsKilled()
    {
        QProcess *first = startProgram();
        QVERIFY(first && waitUntilListening());

        // A second process waits at its warning and takes nothing of the first's.
        QProcess *second = startProgram();
        QVERIFY(second && !second->waitForFinished(1500));
        QCOMPARE(lockHolder(), first->processId());

        // The same steps in this process, the warning answered: the first takes
        // the raise request and no window is ever shown, not even for a moment.
        Bench bench;
        SingleInstance instance(m_dir.path());
        QCOMPARE(claimOrHandOver(bench.window(), instance), StartOutcome::OtherRaised);
        QCOMPARE(bench.messageTexts(), QStringList {"Another instance of this program is already open."});
        QVERIFY(
            bench.messages[0].kind == frmMain::MsgKind::Warning && bench.messages[0].title == "AXR-574 Firmware v1208");
        QVERIFY(!bench->windowHandle());
        QCOMPARE(first->state(), QProcess::Running);

        // Killed outright, the first leaves its lock behind; the next start takes it over.
        ::kill(pid_t(first->processId()), SIGKILL);
        QVERIFY(first->waitForFinished(5000));
        QVERIFY(QFile::exists(SingleInstance(m_dir.path()).lockPath()));
        QProcess *next = startProgram();
        QVERIFY(next && waitUntilListening(5000));
        QCOMPARE(lockHolder(), next->processId());
        QCOMPARE(next->state(), QProcess::Running);
    }

    void aRaiseRequestBringsAMinimisedWindowForward()
    {
        SingleInstance first(m_dir.path());
        QVERIFY(first.claim());
        Bench bench;
        connect(&first, &SingleInstance::raiseRequested, &bench.window(),
            [&bench] { SingleInstance::bringToFront(&bench.window()); });
        bench->showMinimized();

        QLocalSocket asker; // as a second start asks
        asker.connectToServer(first.serverPath());
        asker.write("raise\n");
        QTRY_VERIFY(bench->isVisible() && !(bench->windowState() & Qt::WindowMinimized));
        QTRY_VERIFY(asker.bytesAvailable() >= 3);
        QCOMPARE(asker.readAll(), QByteArray("ok\n"));
    }
};

QTEST_MAIN(tst_instance)
#include "tst_instance.moc"

// One updater per user: the real program as separate processes, in a runtime
// directory of the test's own.
#include "harness.h"

#include "ui/singleinstance.h"

#include <QLocalSocket>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <unistd.h>

class tst_instance : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir; // the runtime directory the instances share
    std::vector<std::unique_ptr<QProcess>> m_processes;

    // The real program, alone in this test's runtime directory (or in
    // another one), optionally through a wrapper such as unshare.
    QProcess *startProgram(const QString &dir = QString(), const QStringList &wrapper = {})
    {
        auto *p = m_processes.emplace_back(std::make_unique<QProcess>()).get();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.isEmpty() ? m_dir.path() : dir);
        env.insert(QStringLiteral("TMPDIR"), dir.isEmpty() ? m_dir.path() : dir);
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(QProcess::ForwardedChannels);
        const QStringList command = wrapper + QStringList {QStringLiteral(AXR574_PROGRAM_PATH)};
        p->start(command.first(), command.mid(1));
        return p->waitForStarted() ? p : nullptr;
    }

    static void killOutright(QProcess *p)
    {
        if (p->state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(p->processId()), SIGKILL);
        p->waitForFinished(5000);
    }

    QString lockPath() const { return SingleInstance(m_dir.path()).lockPath(); }

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
        for (auto &p : m_processes)
            killOutright(p.get());
        m_processes.clear();
        QFile::remove(lockPath());
    }

    void aSecondStartIsRefusedWithAWarningAndRaisesTheFirst()
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
    }

    // Locks that no live instance stands behind, each followed by a start of
    // the real program, which must come up and hold the lock.
    void aLockWithoutALiveInstanceIsTakenOver_data()
    {
        QTest::addColumn<QString>("left");
        QTest::newRow("by an instance killed outright") << "killed";
        QTest::newRow("naming a live program of that name that does not answer") << "silent";
        // Each start is process 1 of a namespace of its own, as in sandboxes
        // and containers: the dead instance's id is the new one's own.
        QTest::newRow("by an instance killed in a PID namespace of its own") << "namespace";
    }

    void aLockWithoutALiveInstanceIsTakenOver()
    {
        QFETCH(QString, left);
        QStringList wrapper;
        if (left == "namespace") {
            if (::geteuid() != 0 || QStandardPaths::findExecutable("unshare").isEmpty())
                QSKIP("a PID namespace takes root and unshare");
            wrapper = QStringList {"unshare", "--pid", "--mount-proc", "--kill-child=SIGKILL"};
        }
        if (left == "silent") {
            // A program that listens elsewhere; its lock, copied here, names it.
            QTemporaryDir elsewhere;
            QProcess *other = startProgram(elsewhere.path());
            QVERIFY(
                other && QTest::qWaitFor([&] { return QFile::exists(SingleInstance(elsewhere.path()).lockPath()); }));
            QVERIFY(QFile::copy(SingleInstance(elsewhere.path()).lockPath(), lockPath()));
        } else {
            QProcess *first = startProgram(QString(), wrapper);
            QVERIFY(first && waitUntilListening());
            killOutright(first); // the wrapper takes its child with it
            QVERIFY(QFile::exists(lockPath()));
        }
        const qint64 leftBy = lockHolder();

        QProcess *next = startProgram(QString(), wrapper);
        QVERIFY(next && waitUntilListening());
        QCOMPARE(next->state(), QProcess::Running);
        QCOMPARE(lockHolder(), left == "namespace" ? leftBy : next->processId());
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

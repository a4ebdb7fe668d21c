// One updater per user: the real program as separate processes, each test in
// a runtime directory of its own.
#include "ui/frmMain.h"
#include "ui/singleinstance.h"

#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class tst_instance : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void aSecondStartIsRefusedWhileTheFirstRuns();
    void theRefusedStartWarnsRaisesTheFirstAndShowsNoWindow();
    void aStartAfterTheFirstWasKilledTakesOverAtOnce();
    void aRaiseRequestBringsAMinimisedWindowForward();

private:
    QProcess *startProgram();
    // Waits until the program answers on its socket, i.e. has claimed the lock.
    bool waitUntilListening(int ms = 10000);

    std::unique_ptr<QTemporaryDir> m_dir;
    QList<QProcess *> m_processes;
};

void tst_instance::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_instance::cleanup()
{
    for (QProcess *p : m_processes) {
        p->kill();
        p->waitForFinished(3000);
        delete p;
    }
    m_processes.clear();
}

QProcess *tst_instance::startProgram()
{
    auto *p = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir->path());
    env.insert(QStringLiteral("TMPDIR"), m_dir->path());
    p->setProcessEnvironment(env);
    p->setProcessChannelMode(QProcess::ForwardedChannels);
    p->start(QStringLiteral(AXR574_PROGRAM_PATH), {});
    m_processes << p;
    return p;
}

bool tst_instance::waitUntilListening(int ms)
{
    SingleInstance probe(m_dir->path());
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        if (probe.askRunningToRaise(500))
            return true;
        QTest::qWait(50);
    }
    return false;
}

void tst_instance::aSecondStartIsRefusedWhileTheFirstRuns()
{
    QProcess *first = startProgram();
    QVERIFY(first->waitForStarted());
    QVERIFY(waitUntilListening());

    // Its warning waits for OK; until then it must hold nothing of the first's.
    QProcess *second = startProgram();
    QVERIFY(second->waitForStarted());
    QVERIFY(!second->waitForFinished(1500));
    SingleInstance probe(m_dir->path());
    QVERIFY(!probe.claim());
    qint64 pid = 0;
    QString host, app;
    QLockFile lock(probe.lockPath());
    QVERIFY(lock.getLockInfo(&pid, &host, &app));
    QCOMPARE(pid, first->processId());
    QVERIFY(waitUntilListening(2000));
    QCOMPARE(first->state(), QProcess::Running);
}

void tst_instance::theRefusedStartWarnsRaisesTheFirstAndShowsNoWindow()
{
    QProcess *first = startProgram();
    QVERIFY(first->waitForStarted());
    QVERIFY(waitUntilListening());

    // The second start's own steps, in this process, with its message answered.
    frmMain window;
    QStringList shown;
    window.setMsgResponder([&](frmMain::MsgKind kind, const QString &title, const QString &text) {
        shown << QStringLiteral("%1|%2|%3").arg(int(kind)).arg(title, text);
        return QMessageBox::Ok;
    });
    bool windowShown = false;
    struct ShowWatch : QObject
    {
        bool *seen;
        bool eventFilter(QObject *, QEvent *e) override
        {
            *seen = *seen || e->type() == QEvent::Show;
            return false;
        }
    } watch;
    watch.seen = &windowShown;
    window.installEventFilter(&watch);

    SingleInstance instance(m_dir->path());
    QCOMPARE(claimOrHandOver(window, instance), StartOutcome::OtherRaised);
    QCOMPARE(shown, QStringList{QStringLiteral("%1|AXR-574 Firmware v1208|Another instance of this program is "
                                               "already open.")
                                    .arg(int(frmMain::MsgKind::Warning))});
    QVERIFY(!windowShown);
    QVERIFY(!window.isVisible());
    QCOMPARE(first->state(), QProcess::Running);
}

void tst_instance::aStartAfterTheFirstWasKilledTakesOverAtOnce()
{
    QProcess *first = startProgram();
    QVERIFY(first->waitForStarted());
    QVERIFY(waitUntilListening());
    ::kill(pid_t(first->processId()), SIGKILL);
    QVERIFY(first->waitForFinished(5000));
    QVERIFY(QFile::exists(SingleInstance(m_dir->path()).lockPath())); // left behind

    QProcess *next = startProgram();
    QVERIFY(next->waitForStarted());
    QVERIFY(waitUntilListening(5000));
    QVERIFY(!next->waitForFinished(1000));
    QVERIFY(!SingleInstance(m_dir->path()).claim());
}

void tst_instance::aRaiseRequestBringsAMinimisedWindowForward()
{
    SingleInstance first(m_dir->path());
    QVERIFY(first.claim());
    frmMain window;
    connect(&first, &SingleInstance::raiseRequested, &window, [&window] { SingleInstance::bringToFront(&window); });
    window.showMinimized();
    QSignalSpy raised(&first, &SingleInstance::raiseRequested);

    // The request as a second start sends it.
    QLocalSocket asker;
    asker.connectToServer(first.serverPath());
    asker.write("raise\n");
    QVERIFY(raised.wait(5000));
    QTRY_VERIFY(window.isVisible() && !(window.windowState() & Qt::WindowMinimized));
    QTRY_VERIFY(asker.bytesAvailable() > 0 || asker.waitForReadyRead(10));
    QCOMPARE(asker.readAll(), QByteArray("ok\n"));
}

QTEST_MAIN(tst_instance)
#include "tst_instance.moc"

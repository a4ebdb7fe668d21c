// The Windows program's own paths, run under Wine by tst_underwine with COM ports
// on a simulated unit: this side is the user and judges the window, the
// other side judges what the unit saw.
#include "ui/frmMain.h"
#include "ui/singleinstance.h"
#include "update/sleepguard.h"

#include <QComboBox>
#include <QProcess>
#include <QtTest>

#include <memory>

#include <windows.h>

class tst_win32 : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void wholeUpdateHoldsTheSystemAwakeExactlyWhileItRuns();
    void cancelWhileErasingOnAPortAboveNine();
    void lateReplyIsAwaitedPollByPoll();
    void cancelMidWaitEndsItAtTheNextPoll();
    void lineFaultEndsTheRun();
    void closeThatCannotDrainIsNoSuccess();
    void portWithoutDeviceIsNotAvailable();
    void portRefusedByWindowsIsInUse_data();
    void portRefusedByWindowsIsInUse();
    void secondInstanceBringsTheFirstForward();

private:
    void run(int port);
    std::unique_ptr<frmMain> m_window;
    QStringList m_messages;
};

void tst_win32::init()
{
    m_messages.clear();
    m_window = std::make_unique<frmMain>();
    m_window->setMsgResponder([this](frmMain::MsgKind, const QString &, const QString &text) {
        m_messages << text;
        return QMessageBox::Ok;
    });
    // As a person picks it: the fastest rate in the list.
    auto *baud = m_window->findChild<QComboBox *>(QStringLiteral("cboBaudrate"));
    baud->setCurrentIndex(baud->count() - 1);
    m_window->cboBaudrate_Click();
}

void tst_win32::cleanup()
{
    m_window.reset();
    SleepInhibitor::setExecutionStateCall(nullptr);
    MSComm::setSystemOpenError(0);
    MSComm::setOutputQueueReader(nullptr);
}

void tst_win32::run(int port)
{
    m_window->iComPort = qint16(port);
    m_window->cmdProgram_Click();
    QVERIFY(m_window->bStopped && !m_window->MSComm1.PortOpen());
    QCOMPARE(m_window->exitCaption(), QStringLiteral("Exit (ESC)"));
}

// tst_underwine may stop this process for a while a moment after the file
// that AXR574_STALL_MARKER names comes to be, made as the first program
// packet's wait is about to sleep; it compares what the rest of the update
// costs with what it costs updates left alone.
void tst_win32::wholeUpdateHoldsTheSystemAwakeExactlyWhileItRuns()
{
    const auto cpuSeconds = [] {
        FILETIME created, exited, kernel, user;
        GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
        return double(quint64(kernel.dwHighDateTime) << 32 | kernel.dwLowDateTime) * 1e-7
            + double(quint64(user.dwHighDateTime) << 32 | user.dwLowDateTime) * 1e-7;
    };
    const unsigned long held = ES_CONTINUOUS | ES_SYSTEM_REQUIRED;
    QList<unsigned long> calls;
    SleepInhibitor::setExecutionStateCall([&calls](unsigned long flags) {
        calls << flags;
        return 1UL;
    });
    int waits = 0, awake = 0;
    double from = -1;
    m_window->onPoll = [&](int poll) {
        if (poll != 1)
            return;
        ++waits;
        if (calls == QList<unsigned long> {held})
            ++awake;
        if (from < 0 && m_window->sCommand == QLatin1String("0202")) {
            // Drawn first, so that a stop comes while the wait sleeps.
            QCoreApplication::processEvents();
            from = cpuSeconds();
            QFile(qEnvironmentVariable("AXR574_STALL_MARKER")).open(QIODevice::WriteOnly);
        }
    };
    run(1);
    QCOMPARE(m_messages, QStringList());
    QVERIFY(m_window->successDialog() && m_window->bSuccess);
    QCOMPARE(m_window->panelText(2), QStringLiteral("EBPV"));
    QCOMPARE(calls, (QList<unsigned long> {held, ES_CONTINUOUS}));
    QCOMPARE(awake, waits);
    qInfo("the rest cost %.6f s of CPU", cpuSeconds() - from);
}

void tst_win32::cancelWhileErasingOnAPortAboveNine()
{
    int erased = 0;
    m_window->onPoll = [&](int poll) {
        if (poll == 1 && m_window->sCommand == QLatin1String("0301") && ++erased == 100)
            m_window->cmdExit_Click();
    };
    run(12);
    QCOMPARE(m_messages, QStringList {"Firmware update was cancelled."});
    QVERIFY(!m_window->successDialog() && !m_window->bFailed);
}

void tst_win32::lateReplyIsAwaitedPollByPoll()
{
    int longest = 0;
    m_window->onPoll = [&](int poll) { longest = std::max(longest, poll); };
    run(1);
    QCOMPARE(m_messages, QStringList());
    QVERIFY(m_window->successDialog() && m_window->bSuccess);
    // A wait that blocked on the port until the reply came would have left
    // the window unserved all that while.
    QVERIFY2(longest > 100, qPrintable(QString::number(longest)));
}

void tst_win32::cancelMidWaitEndsItAtTheNextPoll()
{
    const int cancelAt = 100; // only the late reply's wait gets this far
    int last = 0;
    m_window->onPoll = [&](int poll) {
        last = poll;
        if (poll == cancelAt)
            m_window->cmdExit_Click();
    };
    run(1);
    QCOMPARE(last, cancelAt);
    QCOMPARE(m_messages, QStringList {"Firmware update was cancelled."});
    QVERIFY(!m_window->successDialog() && !m_window->bFailed);
}

// Counts the timer events the program handles, which is what wakes the
// processor while a person reads a box.
class TimerCount : public QObject
{
public:
    int count = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Timer)
            ++count;
        return QObject::eventFilter(watched, event);
    }
};

void tst_win32::lineFaultEndsTheRun()
{
    // The box comes up with the port still open; it stays a while, the
    // program running on beneath it.
    TimerCount whileUp;
    m_window->setMsgResponder([&](frmMain::MsgKind, const QString &, const QString &text) {
        m_messages << text;
        QEventLoop reading;
        QTimer::singleShot(500, &reading, &QEventLoop::quit);
        qApp->installEventFilter(&whileUp);
        reading.exec();
        qApp->removeEventFilter(&whileUp);
        return QMessageBox::Ok;
    });
    run(1);
    QCOMPARE(m_messages, QStringList {"Error communicating with Port."});
    QVERIFY(!m_window->successDialog() && m_window->bFailed);
    // The port is not looked at every millisecond while nothing is awaited.
    QVERIFY2(whileUp.count < 50, qPrintable(QString::number(whileUp.count)));
}

void tst_win32::closeThatCannotDrainIsNoSuccess()
{
    // A driver that never sends the finish command: the close gives up on
    // it, and the unit was never told to start.
    int asked = 0;
    MSComm::setOutputQueueReader([&asked](qintptr) { return ++asked, 10; });
    run(1);
    QCOMPARE(m_messages, QStringList {"Error communicating with Port."});
    QVERIFY(!m_window->successDialog() && m_window->bFailed && asked > 1);
}

void tst_win32::portWithoutDeviceIsNotAvailable()
{
    run(9);
    // The ports Windows lists are named: here COM1, the unit's.
    QCOMPARE(m_messages, QStringList {"Selected Com Port is not available.\r\n\r\nPorts present: COM1."});
    QCOMPARE(m_window->panelText(1), QStringLiteral("For Help press F1"));
}

void tst_win32::portRefusedByWindowsIsInUse_data()
{
    // Wine opens a port any number of times; Windows refuses the second open
    // in one of these two ways.
    QTest::addColumn<unsigned long>("systemError");
    QTest::newRow("access denied") << static_cast<unsigned long>(ERROR_ACCESS_DENIED);
    QTest::newRow("sharing violation") << static_cast<unsigned long>(ERROR_SHARING_VIOLATION);
}

void tst_win32::portRefusedByWindowsIsInUse()
{
    QFETCH(unsigned long, systemError);
    MSComm::setSystemOpenError(systemError);
    run(1);
    QCOMPARE(m_messages, QStringList {"Selected COM Port is already in use by another application."});
}

void tst_win32::secondInstanceBringsTheFirstForward()
{
    QProcess first;
    first.start(QStringLiteral("Z:") + QStringLiteral(AXR574_PROGRAM_PATH));
    QVERIFY(first.waitForStarted(30000));
    // The first instance answers once its window is up.
    SingleInstance probe;
    QTRY_VERIFY_WITH_TIMEOUT(probe.askRunningToRaise(200), 60000);

    SingleInstance instance;
    QCOMPARE(claimOrHandOver(*m_window, instance), StartOutcome::OtherRaised);
    QCOMPARE(m_messages, QStringList {"Another instance of this program is already open."});
    QVERIFY(!m_window->isVisible());
    // Closed as its window would be, so that it gives up its lock.
    first.terminate();
    if (!first.waitForFinished(20000))
        first.kill();
}

QTEST_MAIN(tst_win32)
#include "tst_win32.moc"

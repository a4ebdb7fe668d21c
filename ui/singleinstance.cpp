#include "singleinstance.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>
#include <QWidget>

#include "ui/frmMain.h"

#include <algorithm>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

const QByteArray kRaise = QByteArrayLiteral("raise\n");
const QByteArray kDone = QByteArrayLiteral("ok\n");
constexpr int kAnswerMs = 1000;
constexpr int kAnswerRetryMs = 50;

QString defaultDirectory()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    return dir;
}

QString userTag()
{
    // The temporary directory may be shared between users; the tag keeps
    // their instances apart.
#ifdef Q_OS_UNIX
    return QStringLiteral("-%1").arg(::getuid());
#else
    return QString();
#endif
}

} // namespace

SingleInstance::SingleInstance(QObject *parent)
    : SingleInstance(defaultDirectory(), parent)
{ }

SingleInstance::SingleInstance(const QString &directory, QObject *parent)
    : QObject(parent)
{
    const QString base = QDir(directory).filePath(QStringLiteral("axr574-firmware") + userTag());
    m_lockPath = base + QStringLiteral(".lock");
    m_serverPath = base + QStringLiteral(".socket");
    m_lock = std::make_unique<QLockFile>(m_lockPath);
    // Age never makes the lock stale: an instance may run for weeks. Only a
    // holder that no longer runs (crashed, killed) gives it up, and then at once.
    m_lock->setStaleLockTime(0);
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::claim()
{
    // tryLock passes over a lock whose holder no longer runs on this machine.
    // A killed instance's process id may name a live process all the same:
    // this one, in a fresh PID namespace or under a new Wine server, or an
    // unrelated program once the id is reused. Only an instance that
    // answers keeps the lock.
    if (!m_lock->tryLock(0)) {
        // A directory we cannot write must not keep the program from starting.
        if (m_lock->error() != QLockFile::LockFailedError)
            return true;
        if (runningInstanceAnswers() || !m_lock->removeStaleLockFile())
            return false;
        if (!m_lock->tryLock(0))
            return m_lock->error() != QLockFile::LockFailedError;
    }
    // The lock is ours, so a socket file still there belongs to a dead instance.
    QLocalServer::removeServer(m_serverPath);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
    m_server->listen(m_serverPath);
    return true;
}

bool SingleInstance::runningInstanceAnswers() const
{
    qint64 pid = 0;
    if (m_lock->getLockInfo(&pid, nullptr, nullptr) && pid == QCoreApplication::applicationPid())
        return false;
    // A live instance listens from the moment it holds the lock; a start
    // that has only just taken it gets a moment to begin.
    for (QDeadlineTimer deadline(kAnswerMs);; QThread::msleep(kAnswerRetryMs)) {
        QLocalSocket socket;
        socket.connectToServer(m_serverPath);
        if (socket.waitForConnected(int(std::max<qint64>(deadline.remainingTime(), 1))))
            return true;
        if (deadline.hasExpired())
            return false;
    }
}

bool SingleInstance::askRunningToRaise(int timeoutMs)
{
#ifdef Q_OS_WIN
    // Windows lets only the program in front bring a window forward; this
    // start is in front, so it hands that right on.
    AllowSetForegroundWindow(ASFW_ANY);
#endif
    QLocalSocket socket;
    socket.connectToServer(m_serverPath);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(kRaise);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    while (socket.bytesAvailable() < kDone.size()) {
        if (!socket.waitForReadyRead(timeoutMs))
            return false;
    }
    return socket.readAll().startsWith(kDone);
}

void SingleInstance::onNewConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine())
                return;
            const QByteArray request = socket->readLine();
            if (request == kRaise) {
                emit raiseRequested();
                socket->write(kDone);
                socket->flush();
            }
            socket->disconnectFromServer();
        });
    }
}

void SingleInstance::bringToFront(QWidget *window)
{
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    window->raise();
    window->activateWindow();
}

StartOutcome claimOrHandOver(frmMain &window, SingleInstance &instance)
{
    if (instance.claim())
        return StartOutcome::Alone;
    window.MsgBox(QStringLiteral("Another instance of this program is already open."), frmMain::MsgKind::Warning);
    const bool raised = instance.askRunningToRaise();
    window.close();
    return raised ? StartOutcome::OtherRaised : StartOutcome::OtherNotReached;
}

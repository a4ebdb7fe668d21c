#include "update/sleepguard.h"

#include "ui/appinfo.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>

#include <fcntl.h>
#include <unistd.h>

namespace {

// logind answers at once; a bus that does not must not hold up the update.
constexpr int kCallTimeoutMs = 500;

} // namespace

SleepInhibitor::SleepInhibitor(const QString &why)
{
    // A connection of our own for the one call: the inhibitor lives in the
    // descriptor, not in the connection, and a fresh connection also finds a
    // system bus that was restarted since the last update.
    const QString name = QStringLiteral("axr574-sleep-inhibitor");
    {
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus, name);
        if (bus.isConnected()) {
            QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.login1"),
                QStringLiteral("/org/freedesktop/login1"), QStringLiteral("org.freedesktop.login1.Manager"),
                QStringLiteral("Inhibit"));
            // Where logind is not running, nothing should be started for it.
            call.setAutoStartService(false);
            call << QStringLiteral("sleep:idle") << appinfo::title() << why << QStringLiteral("block");
            const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
            if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
                const auto fd = qdbus_cast<QDBusUnixFileDescriptor>(reply.arguments().constFirst());
                // Our own copy, closed on exec so that no child process keeps it.
                if (fd.isValid())
                    m_fd = ::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
            }
        }
    }
    QDBusConnection::disconnectFromBus(name);
}

bool SleepInhibitor::held() const
{
    return m_fd >= 0;
}

void SleepInhibitor::release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

SleepInhibitor::~SleepInhibitor()
{
    release();
}

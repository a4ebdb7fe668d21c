// One running updater per user. A lock file tells whether another instance is
// running; a local socket beside it lets a later start ask that instance to
// bring its window to the front, which a title search cannot do reliably
// across processes and desktops.
#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QWidget;

class SingleInstance : public QObject
{
    Q_OBJECT

public:
    // The lock and the socket live in the user's runtime directory (the
    // temporary directory where there is none), so each user has one instance.
    explicit SingleInstance(QObject *parent = nullptr);
    // For a directory of the caller's choosing.
    SingleInstance(const QString &directory, QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when this process is now the one instance. A lock that no live
    // instance stands behind (its holder gone, or not answering on the
    // instance's socket) is taken over.
    bool claim();
    // Asks the running instance to bring its window forward; true when it
    // took the request.
    bool askRunningToRaise(int timeoutMs = 2000);

    QString lockPath() const { return m_lockPath; }
    QString serverPath() const { return m_serverPath; }

    // Shows, un-minimises, raises and activates the window.
    static void bringToFront(QWidget *window);

signals:
    void raiseRequested();

private:
    void onNewConnection();
    bool runningInstanceAnswers() const;

    QString m_lockPath;
    QString m_serverPath;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
};

class frmMain;

// The last step of start-up. When another instance runs, the user is told
// through the window's message box, that instance is asked to come forward
// and the window is closed without ever having been shown.
enum class StartOutcome { Alone, OtherRaised, OtherNotReached };
StartOutcome claimOrHandOver(frmMain &window, SingleInstance &instance);

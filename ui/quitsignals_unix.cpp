#include "quitsignals.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

const int kSignals[] = {SIGTERM, SIGHUP, SIGINT};
int g_pipe[2] = {-1, -1};

// All a handler may safely do: hand the number on to the event loop.
void onSignal(int signal)
{
    const char number = char(signal);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &number, 1);
}

} // namespace

QuitOnSignals::QuitOnSignals(QObject *parent)
    : QObject(parent)
{
    if (g_pipe[0] < 0 && ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char number = 0;
        while (::read(g_pipe[0], &number, 1) == 1) {
            if (!m_caught)
                quit(number);
        }
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals)
        ::sigaction(signal, &action, nullptr);
}

QuitOnSignals::~QuitOnSignals()
{
    for (int signal : kSignals)
        ::signal(signal, SIG_DFL);
}

void QuitOnSignals::quit(int signal)
{
    m_caught = signal;
    ::signal(signal, SIG_DFL);
    // Closing the windows stops a run under way, as the close box does, and
    // ends any message box's wait; the event loops then end with the run.
    QApplication::closeAllWindows();
    QCoreApplication::exit(128 + signal);
}

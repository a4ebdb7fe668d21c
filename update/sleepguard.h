// Keeps the computer from going to sleep while it lives: an update cut off
// halfway leaves the unit without firmware until it is started over in its
// bootloader. Where the system offers no way to ask (no system bus, no
// logind), it holds nothing and the update goes on as before.
#pragma once

#include <QString>

#include <functional>

class SleepInhibitor
{
public:
    explicit SleepInhibitor(const QString &why);
    ~SleepInhibitor();
    SleepInhibitor(const SleepInhibitor &) = delete;
    SleepInhibitor &operator=(const SleepInhibitor &) = delete;

    bool held() const;
    void release();

#if defined(Q_OS_WIN)
    // Stands in for SetThreadExecutionState: tests watch the calls through
    // it, since not every Windows layer acts on them.
    using ExecutionStateCall = std::function<unsigned long(unsigned long flags)>;
    static void setExecutionStateCall(ExecutionStateCall call);
#endif

private:
#if defined(Q_OS_WIN)
    bool m_held = false;
#elif defined(Q_OS_MACOS)
    unsigned int m_assertion = 0; // IOPMAssertionID; 0 is never a valid one
#elif defined(Q_OS_LINUX)
    int m_fd = -1; // logind keeps the inhibitor while this descriptor is open
#endif
};

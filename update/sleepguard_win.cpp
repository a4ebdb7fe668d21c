#include "update/sleepguard.h"

#include <windows.h>

namespace {

SleepInhibitor::ExecutionStateCall &executionStateCall()
{
    static SleepInhibitor::ExecutionStateCall call;
    return call;
}

unsigned long setExecutionState(unsigned long flags)
{
    if (executionStateCall())
        return executionStateCall()(flags);
    return SetThreadExecutionState(EXECUTION_STATE(flags));
}

} // namespace

void SleepInhibitor::setExecutionStateCall(ExecutionStateCall call)
{
    executionStateCall() = std::move(call);
}

SleepInhibitor::SleepInhibitor(const QString &)
{
    // Continuous: held until cleared, not just a nudge of the idle timer.
    m_held = setExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
}

bool SleepInhibitor::held() const
{
    return m_held;
}

void SleepInhibitor::release()
{
    if (m_held)
        setExecutionState(ES_CONTINUOUS);
    m_held = false;
}

SleepInhibitor::~SleepInhibitor()
{
    release();
}

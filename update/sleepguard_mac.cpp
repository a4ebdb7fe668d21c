#include "update/sleepguard.h"

#include <IOKit/pwr_mgt/IOPMLib.h>

SleepInhibitor::SleepInhibitor(const QString &why)
{
    const CFStringRef reason = why.toCFString();
    IOPMAssertionID id = 0;
    if (IOPMAssertionCreateWithName(kIOPMAssertionTypePreventUserIdleSystemSleep, kIOPMAssertionLevelOn, reason, &id)
        == kIOReturnSuccess)
        m_assertion = id;
    CFRelease(reason);
}

bool SleepInhibitor::held() const
{
    return m_assertion != 0;
}

void SleepInhibitor::release()
{
    if (m_assertion != 0)
        IOPMAssertionRelease(m_assertion);
    m_assertion = 0;
}

SleepInhibitor::~SleepInhibitor()
{
    release();
}

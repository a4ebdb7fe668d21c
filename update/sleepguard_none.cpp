#include "update/sleepguard.h"

// No way to ask known here: nothing is held and the update goes on.
SleepInhibitor::SleepInhibitor(const QString &) { }

bool SleepInhibitor::held() const
{
    return false;
}

void SleepInhibitor::release() { }

SleepInhibitor::~SleepInhibitor()
{
    release();
}

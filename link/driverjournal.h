// What the updater changed in a serial driver (a 16550's receive trigger, a
// port's low-latency flag) and what it found there, kept before the change
// is made, so that a run that could not put its change back (killed, or the
// power cut off) does not leave the driver changed for good: the next start
// puts back what can be written without opening a port, and the next open of
// the port finds the driver's own value in the journal rather than taking
// the dead run's value for it.
#pragma once

#include <QString>

namespace driverjournal {

// Where the journal is kept: the user's runtime folder unless told otherwise.
void setDirectory(const QString &directory);

// The value to put back after a change: the one a run that no longer runs
// recorded when the driver still holds that run's change, else `current`.
QString ownValue(const QString &setting, const QString &key, const QString &current);

// Records the change about to be made. False when it cannot be kept; the
// change must then not be made.
bool record(const QString &setting, const QString &key, const QString &found, const QString &set);

// The change has been put back.
void forget(const QString &setting, const QString &key);

// Puts back the changes of runs that no longer run in sysfs attributes,
// whose key is the attribute's path; the others wait for the port's next open.
void restoreAbandoned();

} // namespace driverjournal

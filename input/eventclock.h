#ifndef EVENTCLOCK_H
#define EVENTCLOCK_H

#include <QtGlobal>

// "Now" for the beep window: milliseconds since the Unix epoch (UTC), read
// through a replaceable function so that tests can drive the time. Main thread.
namespace eventclock {

using NowFunction = qint64 (*)();

// The wall clock: QDateTime::currentDateTime().toMSecsSinceEpoch().
qint64 wallClockMSecs();

// The time from the installed source.
qint64 now();

// Installs fn as the time source (nullptr: the wall clock) and returns the one
// it replaces.
NowFunction setNowFunction(NowFunction fn);

} // namespace eventclock

#endif // EVENTCLOCK_H

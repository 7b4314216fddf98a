#ifndef SYSTEMCLOCK_H
#define SYSTEMCLOCK_H

// The launcher's own layer over the system clock. The MCU link's clock handlers
// set the time through systemClock(); which layer that is by default is a build
// choice (LAUNCHER_SET_SYSTEM_CLOCK): a target build sets the clock, a native
// build only logs the time it would set, so that running the launcher or its
// tests on a developer machine never changes that machine's clock.

#include <QtGlobal>

#include <time.h>

namespace platform {

class SystemClock
{
public:
    virtual ~SystemClock();
    // Sets the system clock to secsSinceEpoch (seconds since 1970-01-01 00:00 UTC).
    // 0 on success; -1 with errno set otherwise (EOVERFLOW when the value does not
    // fit the C library's time_t). May be called from any thread.
    virtual int setTime(qint64 secsSinceEpoch) = 0;
};

// The layer in use: the one installed with setSystemClock(), else the build's default.
SystemClock *systemClock();
// Installs a layer (not owned; it must outlive its use). Null restores the
// build's default. Safe against concurrent systemClock() calls.
void setSystemClock(SystemClock *clock);
// The build's default layer: a RealtimeClock on a build that sets the clock,
// a layer that only logs otherwise.
SystemClock *defaultSystemClock();
// True when the build's default layer really sets the clock.
bool defaultSystemClockSetsTime();

// Sets CLOCK_REALTIME with clock_settime. The setter is the system call by
// default; it is a parameter so that the conversion can be checked without
// touching the real clock.
class RealtimeClock : public SystemClock
{
public:
    using Setter = int (*)(clockid_t, const struct timespec *);
    explicit RealtimeClock(Setter setter = &::clock_settime);
    int setTime(qint64 secsSinceEpoch) override;

private:
    Setter m_setter;
};

} // namespace platform

#endif // SYSTEMCLOCK_H

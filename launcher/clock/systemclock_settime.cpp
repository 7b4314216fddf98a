// Default clock layer of a build that sets the system clock (the target).

#include "systemclock.h"

namespace platform {

SystemClock *defaultSystemClock()
{
    static RealtimeClock clock;
    return &clock;
}

bool defaultSystemClockSetsTime() { return true; }

} // namespace platform

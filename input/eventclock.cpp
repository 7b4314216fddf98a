#include "eventclock.h"

#include <QDateTime>

namespace eventclock {

namespace {
NowFunction s_now = &wallClockMSecs;
} // namespace

qint64 wallClockMSecs()
{
    return QDateTime::currentDateTime().toMSecsSinceEpoch();
}

qint64 now()
{
    return s_now();
}

NowFunction setNowFunction(NowFunction fn)
{
    NowFunction previous = s_now;
    s_now = fn ? fn : &wallClockMSecs;
    return previous;
}

} // namespace eventclock

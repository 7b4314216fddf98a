#include "systemclock.h"

#include <QDebug>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <type_traits>

namespace platform {

namespace {
std::atomic<SystemClock *> s_installedClock{nullptr};
} // namespace

SystemClock::~SystemClock() = default;

SystemClock *systemClock()
{
    SystemClock *clock = s_installedClock.load(std::memory_order_acquire);
    return clock ? clock : defaultSystemClock();
}

void setSystemClock(SystemClock *clock)
{
    s_installedClock.store(clock, std::memory_order_release);
}

RealtimeClock::RealtimeClock(Setter setter)
    : m_setter(setter)
{
}

int RealtimeClock::setTime(qint64 secsSinceEpoch)
{
    // time_t is 32 bits on some targets: a value it cannot hold must not be
    // truncated into some other, valid-looking time.
    using TimeT = decltype(timespec::tv_sec);
    static_assert(std::is_signed<TimeT>::value, "time_t is expected to be signed");
    if (secsSinceEpoch < qint64(std::numeric_limits<TimeT>::min())
        || secsSinceEpoch > qint64(std::numeric_limits<TimeT>::max())) {
        qDebug("==========>system clock not set: %lld does not fit time_t",
               static_cast<long long>(secsSinceEpoch));
        errno = EOVERFLOW;
        return -1;
    }

    timespec ts{};
    ts.tv_sec = static_cast<TimeT>(secsSinceEpoch);
    ts.tv_nsec = 0;
    const int result = m_setter(CLOCK_REALTIME, &ts);
    if (result != 0) {
        const int error = errno;
        qDebug("==========>system clock not set to %lld: %s", static_cast<long long>(secsSinceEpoch),
               std::strerror(error));
        errno = error;
    }
    return result;
}

} // namespace platform

#include "processclock.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

namespace processclock {

namespace {

constexpr int64_t kNsPerSec = 1000000000;

// -1: not fixed yet; -2: the kernel does not tell.
std::atomic<int64_t> s_startNs{-1};

int64_t clockNs(clockid_t clock)
{
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return int64_t(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

// The whole of a small /proc file, NUL-terminated; false when unreadable.
bool readSmallFile(const char *path, char *buf, size_t size)
{
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    size_t got = 0;
    while (got + 1 < size) {
        const ssize_t n = ::read(fd, buf + got, size - 1 - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    ::close(fd);
    buf[got] = '\0';
    return got > 0;
}

// Field 22 of /proc/self/stat, counted after the command name's closing
// parenthesis (the name may hold spaces and parentheses itself).
bool startTick(uint64_t *tick)
{
    char line[1024];
    if (!readSmallFile("/proc/self/stat", line, sizeof line))
        return false;
    const char *p = std::strrchr(line, ')');
    if (!p)
        return false;
    ++p;
    // After ")": field 3 (state) is the first; starttime is field 22.
    for (int field = 3; field < 22; ++field) {
        p = std::strchr(p + 1, ' ');
        if (!p)
            return false;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(p + 1, &end, 10);
    if (errno != 0 || end == p + 1)
        return false;
    *tick = value;
    return true;
}

// The main thread's run-queue delay (the second field of its schedstat).
bool runQueueDelayNs(int64_t *delay)
{
    char line[128];
    if (!readSmallFile("/proc/self/schedstat", line, sizeof line))
        return false;
    char *end = nullptr;
    errno = 0;
    std::strtoull(line, &end, 10);
    const char *second = end;
    const unsigned long long value = std::strtoull(second, &end, 10);
    if (errno != 0 || end == second)
        return false;
    *delay = int64_t(value);
    return true;
}

int64_t findStartNs()
{
    uint64_t tick = 0;
    const long ticksPerSec = ::sysconf(_SC_CLK_TCK);
    // The age is read before the stat file, so that the time these reads take
    // counts as age, never against it.
    const int64_t ranNs = clockNs(CLOCK_THREAD_CPUTIME_ID);
    const int64_t nowNs = clockNs(CLOCK_BOOTTIME);
    int64_t waitedNs = 0;
    const bool haveWait = runQueueDelayNs(&waitedNs);
    if (ticksPerSec <= 0 || !startTick(&tick))
        return -2;
    const int64_t tickNs = kNsPerSec / ticksPerSec;
    const int64_t earliest = int64_t(tick) * tickNs;  // the kernel rounds the start down
    const int64_t latest = earliest + tickNs - 1;
    const int64_t byAge = nowNs - (ranNs + waitedNs);
    if (haveWait && byAge >= earliest && byAge <= latest)
        return byAge;
    return earliest + tickNs / 2;
}

} // namespace

double msSinceStart()
{
    int64_t start = s_startNs.load(std::memory_order_acquire);
    if (start == -1) {
        start = findStartNs();
        int64_t expected = -1;
        if (!s_startNs.compare_exchange_strong(expected, start, std::memory_order_acq_rel))
            start = expected;
    }
    if (start < 0)
        return -1;
    return double(clockNs(CLOCK_BOOTTIME) - start) / 1e6;
}

} // namespace processclock

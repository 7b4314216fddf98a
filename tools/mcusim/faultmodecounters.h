#ifndef MCUSIM_FAULTMODECOUNTERS_H
#define MCUSIM_FAULTMODECOUNTERS_H

// What a serve mode of mcusim (faultmode.h) tells the process that started
// it, exactly and at once: one page of a file both map, holding counters the
// service moves and the starter reads, even after the service was killed in
// the middle of a write. Lock-free atomics only, so they work across the two
// processes.

#include <atomic>
#include <cstdint>
#include <string>

namespace mcusim {

struct ServeCounters {
    std::atomic<uint32_t> listening;       // 1 once the service listens
    std::atomic<uint32_t> accepted;        // connections taken (pair: pairs handed out)
    std::atomic<int64_t> acceptedAtNs;     // CLOCK_MONOTONIC of the last one
    std::atomic<uint32_t> written;         // stream: first sequence number not yet wholly written
    std::atomic<uint32_t> markers;         // garbage: marker records written, one per connection
    std::atomic<uint32_t> framedOnPurpose; // garbage: records sent that frame whatever follows
    std::atomic<uint64_t> bytesSent;
    std::atomic<uint64_t> bytesReceived;   // what the launcher sent
    std::atomic<int32_t> error;            // errno of a failure that ended the service
    std::atomic<uint32_t> finished;        // 1 once a timed run has ended
};

static_assert(std::atomic<uint32_t>::is_always_lock_free, "shared counters need lock-free atomics");
static_assert(std::atomic<uint64_t>::is_always_lock_free, "shared counters need lock-free atomics");
static_assert(std::atomic<int64_t>::is_always_lock_free, "shared counters need lock-free atomics");

// The page, mapped. The starter create()s it (a fresh file that only its
// user may open, cleared) and passes path() to mcusim --shm; the service
// open()s it before it drops to another user. Unmapped at destruction; the
// creator also removes the file.
class CounterPage
{
public:
    CounterPage() = default;
    ~CounterPage();
    CounterPage(const CounterPage &) = delete;
    CounterPage &operator=(const CounterPage &) = delete;

    bool create();
    bool open(const std::string &path);
    bool valid() const { return m_counters != nullptr; }
    const std::string &path() const { return m_path; }

    void clear(); // every counter back to 0
    ServeCounters &counters() { return *m_counters; }

    // CLOCK_MONOTONIC in nanoseconds, the clock of acceptedAtNs.
    static int64_t monotonicNs();

private:
    bool map(int fd);

    std::string m_path;
    bool m_owner = false;
    ServeCounters *m_counters = nullptr;
};

} // namespace mcusim

#endif // MCUSIM_FAULTMODECOUNTERS_H

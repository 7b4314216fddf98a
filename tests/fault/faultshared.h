#ifndef FAULTSHARED_H
#define FAULTSHARED_H

// What a fault service process and the test that runs it share: one page of a
// file both map, holding counters that the service moves and the test reads.
// Lock-free atomics only, so they work across the two processes.

#include <atomic>
#include <cstdint>

namespace faultservice {

struct Shared {
    std::atomic<uint32_t> listening;       // 1 once the service listens
    std::atomic<uint32_t> accepted;        // connections taken (pair mode: pairs handed out)
    std::atomic<int64_t> acceptedAtNs;     // CLOCK_MONOTONIC of the last one
    std::atomic<uint32_t> written;         // stream: first sequence number not yet wholly written
    std::atomic<uint32_t> markers;         // garbage: marker records written, one per connection
    std::atomic<uint32_t> framedOnPurpose; // garbage: records sent that frame whatever follows
    std::atomic<uint64_t> bytesSent;
    std::atomic<uint64_t> bytesReceived;   // what the link sent to the service
    std::atomic<int32_t> error;            // errno of a failure that ended the service
    std::atomic<uint32_t> finished;        // 1 once a timed run has ended
};

static_assert(std::atomic<uint32_t>::is_always_lock_free, "shared counters need lock-free atomics");
static_assert(std::atomic<uint64_t>::is_always_lock_free, "shared counters need lock-free atomics");
static_assert(std::atomic<int64_t>::is_always_lock_free, "shared counters need lock-free atomics");

// Message numbers the dispatcher hands on unchanged: the stream's records
// (p1 the sequence number, p2 the service's round) and the garbage run's
// per-connection marker (p1 the connection number).
constexpr uint32_t kStreamMsg = 60001;
constexpr uint32_t kMarkerMsg = 60002;

} // namespace faultservice

#endif // FAULTSHARED_H

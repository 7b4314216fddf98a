#ifndef LINKLIMITS_H
#define LINKLIMITS_H

// Every time and size limit of the MCU link, with the reason for each.

#include <chrono>
#include <cstddef>

namespace tamoappframework {
namespace linklimits {

using namespace std::chrono_literals;

// A sender waits this long for the send lock, then gives up with -1 and the
// "repeat call SendData" line. The lock is held only to copy a record or to
// hand it to the socket without waiting, so only a crowd of senders hits it.
constexpr std::chrono::milliseconds kSendLockWait = 50ms;

// Bytes that may wait for the MCU service to read, past what its socket
// buffer holds: 64 KiB is 4096 short or 248 long records, several seconds of
// the busiest traffic the framework makes, and bounds what a service that does
// not read costs the launcher. A record that does not fit whole is dropped.
constexpr size_t kOutQueueBytes = 64 * 1024;

// A service that has taken no byte for this long while records wait for it
// is not reading: the connection ends and is made anew (ready notice first),
// as a bus daemon ends a client that does not read.
constexpr std::chrono::milliseconds kPeerSilence = 2000ms;

// A Unix socket polls writable only once three quarters of its buffer are
// free, so a service that reads slowly never wakes the link: while bytes
// wait, the link tries to hand them over this often.
constexpr std::chrono::milliseconds kQueueRetry = 50ms;

// After the queue drained, the "reads again" line waits this long for a new
// drop, so a reader that keeps the queue near full logs once per streak, not
// at every flip.
constexpr std::chrono::milliseconds kStallStreakQuiet = 1000ms;

// Reconnection back-off: the first retry after this, doubling up to the cap.
constexpr std::chrono::milliseconds kInitialBackoff = 50ms;
constexpr std::chrono::milliseconds kMaxBackoff = 1000ms;

// Only a connection that lived this long and carried a whole valid record
// resets the back-off: a service that accepts and drops connections at once
// is then tried about once a second, not twenty times.
constexpr std::chrono::milliseconds kGoodConnection = 1000ms;

// Start() waits this long at most for the first connection attempt, so that
// senders right after it find the link up without holding start-up for long.
constexpr std::chrono::milliseconds kFirstAttemptWait = 1000ms;

// With the per-record lines off, the link sums its traffic up this often.
constexpr std::chrono::milliseconds kSummaryInterval = 60000ms;

} // namespace linklimits
} // namespace tamoappframework

#endif // LINKLIMITS_H

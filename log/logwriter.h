#ifndef LOGWRITER_H
#define LOGWRITER_H

#include "linering.h"
#include "processlog.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include <pthread.h>

namespace processlog {

// Two line queues, one per stream (standard output's and standard error's),
// and the one thread that writes them to their descriptors. Any thread may
// queue a line and never waits for a reader. The writer thread does not wait
// on a descriptor either: it writes a chunk of whole lines only when poll()
// finds room, and no larger than the descriptor then takes without waiting
// (PIPE_BUF bytes for a pipe, a quarter of a socket's buffer), so a stalled
// reader of one stream holds up that stream alone.
//
// A line that finds its queue full is dropped and counted; until its queue has
// been written out (the writer has caught up), later lines of that stream are
// dropped too, and then one line with the count goes out in their place.
//
// The writer thread starts with the first line. Lines gather for up to
// kGatherMs before it takes them, so a busy stream costs a wake-up and a few
// writes every few milliseconds rather than one per line.
class Writer
{
public:
    static constexpr int kGatherMs = 2;

    // journalStream: JOURNAL_STREAM's value ("device:inode") or null. The
    // lines of a stream whose descriptor it names start with their syslog
    // priority ("<4>"), for the journal to read.
    Writer(int outFd, int errFd, const char *journalStream);
    // Ends the writer thread; lines still queued are not written.
    ~Writer();
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // A bulk line (one per MCU record, or the components' call trace) may
    // fill only three quarters of its queue and waits behind a drop of its
    // stream; the rest is kept for every other line, so that a flood of bulk
    // lines never costs a state line, a warning or the launcher's own.
    void write(Stream stream, Priority priority, const char *text, size_t len, bool bulk = false);
    // The same for a bulk line that is made only when it can be queued:
    // make(buf, size, context) writes the line into buf and returns its
    // length. A line that would be dropped is counted and never made. make
    // runs under the writer's lock: quick, and no logging.
    using LineMaker = size_t (*)(char *buf, size_t size, const void *context);
    void writeMade(Stream stream, Priority priority, LineMaker make, const void *context);

    // Waits until every queued line has been handed to its descriptor, at most
    // timeoutMs. True when nothing is left.
    bool flush(int timeoutMs);
    // The last flush: flush(timeoutMs) and, when lines are still left after
    // that (a reader has stalled), stops writing and puts out each stream's
    // count of lines lost (dropped or left queued), if its descriptor takes
    // it without waiting.
    bool finish(int timeoutMs);

    // Lines of the stream dropped so far, lines left queued by finish() included.
    uint64_t dropped(Stream stream) const;

    // For pthread_atfork: a child has no writer thread and no parent's lines.
    void forkPrepare();
    void forkParent();
    void forkChild();

private:
    struct Channel {
        int fd = -1;
        bool prefixed = false;
        const char *noticeFormat = nullptr; // "... %llu ... dropped\n"
        size_t chunk = 0;                   // the most written at once
        LineRing ring;
        size_t inFlight = 0;  // bytes at the ring's front being written
        uint64_t pending = 0; // dropped since the stream's last count line
        uint64_t dropped = 0;
        bool stalled = false; // its descriptor had no room at the last try
        bool wakeOnLine = false;
        bool hasWork() const { return !ring.empty() || pending > 0; }
    };

    static void *threadEntry(void *self);
    bool startLocked();
    void wake();
    void run();
    bool writeOutLocked(Channel &c, std::unique_lock<std::mutex> &lock);
    void sleepLocked(std::unique_lock<std::mutex> &lock, int timeoutMs, bool forRoom);
    bool pushLocked(Channel &c, Priority priority, const char *text, size_t len, bool bulk);
    bool idleLocked() const;
    bool halfFullLocked() const;
    size_t notice(const Channel &c, uint64_t count, char *to, size_t size) const;

    Channel m_channels[2];
    mutable std::mutex m_mutex;
    std::condition_variable m_drained; // flush() waits for empty queues
    pthread_t m_thread{};
    int m_wakeFd = -1; // eventfd: the writer's sleep ends when it is written
    bool m_started = false;
    bool m_closed = false;    // nothing more is written (the thread stays, idle)
    bool m_ending = false;    // the thread ends
    bool m_gathering = false; // the writer lets lines gather
    bool m_busy = false;      // the writer is writing, outside the lock
    int m_flushers = 0;
};

} // namespace processlog

#endif // LOGWRITER_H

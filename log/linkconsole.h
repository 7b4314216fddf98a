#ifndef LINKCONSOLE_H
#define LINKCONSOLE_H

#include <cstddef>
#include <cstdint>

#include <condition_variable>
#include <mutex>

// The MCU link's lines on standard output. Whoever reads that output (a
// terminal, a log collector, a serial console) may stop reading; a line must
// then never hold up the receive thread or a sender. Lines go, whole and in
// order, into a fixed queue that a writer thread of its own drains to file
// descriptor 1. When the queue is full a line is dropped and counted, and one
// "N console lines dropped" line takes its place once there is room again.
//
// Any thread may write. Nothing here allocates after the first line; a writer
// thread blocked on a stalled reader is simply left behind at exit (the
// instance is never destroyed).
class LinkConsole
{
public:
    static constexpr size_t kCapacity = 64 * 1024;
    static constexpr size_t kMaxLine = 512; // longer lines are cut
    static constexpr int kGatherMs = 2;     // a burst's lines go out together, this late at most

    static LinkConsole &instance();

    // Queues one line as it stands (the caller supplies its newline, if any).
    void write(const char *text, size_t len);
    void printf(const char *format, ...) __attribute__((format(printf, 2, 3)));

    // Waits until every queued line has been handed to the descriptor, at most
    // timeoutMs. True when the queue is empty.
    bool flush(int timeoutMs);

    // Lines dropped since the process started because the queue was full.
    uint64_t droppedLines() const;

private:
    LinkConsole();
    LinkConsole(const LinkConsole &) = delete;
    LinkConsole &operator=(const LinkConsole &) = delete;

    static void *writerEntry(void *self);
    void writerLoop();
    bool pushLocked(const char *text, size_t len);
    size_t freeLocked() const { return kCapacity - m_used; }
    void startWriterLocked();
    static void forkPrepare();
    static void forkParent();
    static void forkChild();

    mutable std::mutex m_mutex;
    std::condition_variable m_work;    // the writer waits for lines
    std::condition_variable m_drained; // flush() waits for an empty queue
    char m_ring[kCapacity];
    size_t m_head = 0; // next byte to write out
    size_t m_used = 0; // bytes queued
    bool m_writing = false;       // the writer holds bytes it took out of the lock
    bool m_writerStarted = false;
    bool m_writerWaiting = false; // waiting for a first line
    bool m_gathering = false;     // letting a burst gather (kGatherMs)
    int m_flushers = 0;           // flush() calls waiting
    uint64_t m_pendingDrops = 0; // dropped since the last notice
    uint64_t m_totalDrops = 0;
};

#endif // LINKCONSOLE_H

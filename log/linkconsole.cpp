#include "linkconsole.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// Writes [p, p + n) to fd, waiting as long as the reader needs: this runs on the
// console's own thread only. A reader that is gone (EPIPE: SIGPIPE is ignored
// by the launcher) or a descriptor that fails costs the bytes, nothing else.
void writeOut(int fd, const char *p, size_t n)
{
    while (n > 0) {
        const ssize_t k = ::write(fd, p, n);
        if (k > 0) {
            p += k;
            n -= size_t(k);
        } else if (k < 0 && errno == EINTR) {
            continue;
        } else if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Someone made the shared descriptor non-blocking (a terminal
            // program may): wait for room instead of spinning.
            pollfd w{fd, POLLOUT, 0};
            ::poll(&w, 1, 100);
        } else {
            return;
        }
    }
}

} // namespace

LinkConsole &LinkConsole::instance()
{
    // Never destroyed: the writer thread may still be blocked on a stalled
    // reader when the process exits.
    static LinkConsole *console = [] {
        auto *c = new LinkConsole();
        ::pthread_atfork(&LinkConsole::forkPrepare, &LinkConsole::forkParent, &LinkConsole::forkChild);
        return c;
    }();
    return *console;
}

LinkConsole::LinkConsole() = default;

// A child of fork() has no writer thread and must not inherit a held lock.
void LinkConsole::forkPrepare()
{
    instance().m_mutex.lock();
}

void LinkConsole::forkParent()
{
    instance().m_mutex.unlock();
}

void LinkConsole::forkChild()
{
    LinkConsole &c = instance();
    c.m_writerStarted = false;
    c.m_writerWaiting = false;
    c.m_gathering = false;
    c.m_flushers = 0;
    c.m_writing = false;
    c.m_mutex.unlock();
}

void LinkConsole::startWriterLocked()
{
    if (m_writerStarted)
        return;
    pthread_t thread;
    const int rc = ::pthread_create(&thread, nullptr, &LinkConsole::writerEntry, this);
    if (rc != 0) {
        std::fprintf(stderr, "launcher: cannot start the console writer (%s); link lines are dropped\n",
                     std::strerror(rc));
        return;
    }
    ::pthread_setname_np(thread, "linkconsole");
    ::pthread_detach(thread);
    m_writerStarted = true;
}

void *LinkConsole::writerEntry(void *self)
{
    static_cast<LinkConsole *>(self)->writerLoop();
    return nullptr;
}

void LinkConsole::writerLoop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        while (m_used == 0) {
            m_drained.notify_all();
            m_writerWaiting = true;
            m_work.wait(lock);
            m_writerWaiting = false;
        }
        // Let lines gather, so that a busy link costs a wake-up and a write
        // every few milliseconds rather than one per line. A queue half full
        // or a flush cuts it short.
        if (m_flushers == 0 && m_used < kCapacity / 2) {
            m_gathering = true;
            m_work.wait_for(lock, std::chrono::milliseconds(kGatherMs),
                            [this] { return m_flushers > 0 || m_used >= kCapacity / 2; });
            m_gathering = false;
        }
        // The bytes taken out stay where they are: writers only fill free space.
        const size_t chunk = std::min(m_used, kCapacity - m_head);
        const char *from = m_ring + m_head;
        m_writing = true;
        lock.unlock();
        writeOut(STDOUT_FILENO, from, chunk);
        lock.lock();
        m_writing = false;
        m_head = (m_head + chunk) % kCapacity;
        m_used -= chunk;
    }
}

bool LinkConsole::pushLocked(const char *text, size_t len)
{
    if (len > freeLocked())
        return false;
    const size_t tail = (m_head + m_used) % kCapacity;
    const size_t first = std::min(len, kCapacity - tail);
    std::memcpy(m_ring + tail, text, first);
    if (first < len)
        std::memcpy(m_ring, text + first, len - first);
    m_used += len;
    return true;
}

void LinkConsole::write(const char *text, size_t len)
{
    if (!text || len == 0)
        return;
    len = std::min(len, kMaxLine);
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        startWriterLocked();
        if (m_pendingDrops > 0) {
            // The gap is marked where it happened, once the notice and the line fit.
            char notice[96];
            const int n = std::snprintf(notice, sizeof notice,
                                        "=================>>>MainAppProtocolComm %llu console lines dropped\n",
                                        static_cast<unsigned long long>(m_pendingDrops));
            if (size_t(n) + len <= freeLocked()) {
                pushLocked(notice, size_t(n));
                m_pendingDrops = 0;
            }
        }
        if (m_pendingDrops > 0 || !pushLocked(text, len)) {
            ++m_pendingDrops;
            ++m_totalDrops;
            return;
        }
        // One wake-up per sleep: the flag goes with it, so the lines that
        // follow before the writer runs do not each make a system call.
        if (m_writerWaiting) {
            m_writerWaiting = false;
            wake = true;
        } else if (m_gathering && m_used >= kCapacity / 2) {
            m_gathering = false;
            wake = true;
        }
    }
    if (wake)
        m_work.notify_one();
}

void LinkConsole::printf(const char *format, ...)
{
    char line[kMaxLine];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n <= 0)
        return;
    size_t len = size_t(n);
    if (len >= sizeof line) {
        len = sizeof line - 1;
        line[len - 1] = '\n';
    }
    write(line, len);
}

bool LinkConsole::flush(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_writerStarted)
        return m_used == 0;
    ++m_flushers;
    m_work.notify_one();
    const bool drained = m_drained.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                            [this] { return m_used == 0 && !m_writing; });
    --m_flushers;
    return drained;
}

uint64_t LinkConsole::droppedLines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_totalDrops;
}

// The send side of the MCU transport: what any thread hands it, and what the
// link's thread writes out of the queue.

#include "mcutransport.h"

#include "processlog.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>

#include <sys/eventfd.h>

#if defined(__SANITIZE_THREAD__)
#define LAUNCHER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define LAUNCHER_TSAN 1
#endif
#endif
#ifdef LAUNCHER_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace tamoappframework {

namespace {

using processlog::Priority;

// Takes the mutex unless the monotonic deadline passes first: 0, or ETIMEDOUT.
// The ThreadSanitizer runtimes of this toolchain do not model
// pthread_mutex_clocklock, so the lock is announced to them by hand.
int lockBefore(pthread_mutex_t *mutex, const timespec &deadline)
{
#ifdef LAUNCHER_TSAN
    __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
#endif
    int rc;
    do {
        rc = ::pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
    } while (rc == EINTR);
#ifdef LAUNCHER_TSAN
    __tsan_mutex_post_lock(mutex, __tsan_mutex_try_lock | (rc ? __tsan_mutex_try_lock_failed : 0), 0);
#endif
    return rc;
}

// Holders of the send lock never wait for anything but memory.
struct SendLock {
    explicit SendLock(pthread_mutex_t *m) : mutex(m) { ::pthread_mutex_lock(mutex); }
    ~SendLock() { ::pthread_mutex_unlock(mutex); }
    pthread_mutex_t *mutex;
};

} // namespace

int McuTransport::send(const void *data, int len)
{
    if (m_fd.load(std::memory_order_acquire) < 0)
        return -1;
    if (len <= 0)
        return 0;
    if (!data || size_t(len) > linklimits::kOutQueueBytes)
        return -1;

    using std::chrono::milliseconds;
    if (lockBefore(&m_sendMutex, mcusocket::deadlineAfter(milliseconds(linklimits::kSendLockWait).count())) != 0) {
        static constexpr char kRepeat[] = "===============>repeat call SendData\n";
        processlog::out(Priority::Warning, kRepeat, sizeof kRepeat - 1);
        return -1;
    }
    // Re-read under the lock: the link's thread withdraws the descriptor under
    // it before closing, so this one is open until we unlock.
    const int fd = m_fd.load(std::memory_order_acquire);
    const int result = fd < 0 ? -1 : sendLocked(fd, data, size_t(len));
    ::pthread_mutex_unlock(&m_sendMutex);
    return result;
}

int McuTransport::sendLocked(int fd, const void *data, size_t len)
{
    if (m_writeError != 0)
        return -1; // the connection is ending
    // A full queue may find room on the socket before the link's thread has
    // woken to use it: the sender hands it over itself, without waiting.
    if (!m_queue.empty() && m_queue.room() < len && !takeQueued(fd))
        return -1;
    if (m_queue.empty()) {
        // Captured before the socket has it: once it has, the answer to it may
        // be captured by the link's thread first.
        if (m_capture)
            m_capture(m_captureContext, true, m_connectionNo, static_cast<const unsigned char *>(data), int(len));
        const ssize_t n = mcusocket::sendNow(fd, data, len);
        if (n < 0) {
            m_writeError = errno ? errno : EPIPE;
            wakeLinkThread();
            return -1;
        }
        ++m_recordsOut;
        if (size_t(n) == len)
            return 0;
        // The rest waits for room; an empty queue holds any record that may be sent.
        m_queue.push(static_cast<const unsigned char *>(data) + n, len - size_t(n));
        m_lastTaken = Clock::now();
        m_lastUnread = mcusocket::unreadBytes(fd);
        m_queueWaiting.store(true, std::memory_order_release);
        wakeLinkThread(); // to watch for room
        return 0;
    }
    if (!m_queue.push(data, len)) {
        noteDropLocked();
        return -1;
    }
    ++m_recordsOut;
    if (m_capture)
        m_capture(m_captureContext, true, m_connectionNo, static_cast<const unsigned char *>(data), int(len));
    return 0;
}

void McuTransport::noteDropLocked()
{
    ++m_recordsDropped;
    ++m_streakDrops;
    m_drainedAt = Clock::time_point{};
    if (!m_dropping) {
        m_dropping = true;
        processlog::outf(Priority::Warning, "=================>>>MainAppProtocolComm the MCU service is not "
                                            "reading; records that find no room are dropped\n");
    }
}

void McuTransport::wakeLinkThread()
{
    if (m_wakeFd >= 0)
        ::eventfd_write(m_wakeFd, 1);
}

void McuTransport::announceReady(const McuShortMsg &notice)
{
    SendLock lock(&m_sendMutex);
    m_notice = notice;
    m_appReady.store(true, std::memory_order_release);
    const int fd = m_fd.load(std::memory_order_acquire);
    if (fd < 0 || m_noticeOnCurrent)
        return; // the next connection starts with it
    if (sendLocked(fd, &m_notice, sizeof m_notice) == 0) {
        m_noticeOnCurrent = true;
    } else {
        // Nothing may go before the notice on the next connection.
        m_noticeFailed = true;
        wakeLinkThread();
    }
}

bool McuTransport::drainQueue()
{
    assert(onLinkThread());
    SendLock lock(&m_sendMutex);
    if (m_queue.empty() || m_writeError != 0)
        return m_writeError == 0;
    return takeQueued(m_socket);
}

bool McuTransport::takeQueued(int fd)
{
    const ssize_t n = m_queue.writeTo(fd);
    if (n < 0) {
        m_writeError = errno ? errno : EPIPE;
        wakeLinkThread();
        return false;
    }
    if (n > 0) {
        m_lastTaken = Clock::now();
        if (m_queue.empty()) {
            m_queueWaiting.store(false, std::memory_order_release);
            if (m_dropping)
                m_drainedAt = m_lastTaken;
        }
    }
    return true;
}

// Link's thread, when woken: a write that failed on a sender's thread, or a
// ready notice that found no room, ends the connection here, its owner.
void McuTransport::serviceWake()
{
    assert(onLinkThread());
    eventfd_t stale;
    ::eventfd_read(m_wakeFd, &stale);
    answerSignOfLife();
    int error;
    bool noticeFailed;
    {
        SendLock lock(&m_sendMutex);
        error = m_writeError;
        noticeFailed = m_noticeFailed;
    }
    if (m_socket < 0)
        return;
    if (error != 0) {
        if (!quiet())
            processlog::outf(Priority::Warning, "=================>>>MainAppProtocolComm a write to the MCU service "
                                            "failed (%s); reconnecting\n", std::strerror(error));
        endConnection();
    } else if (noticeFailed) {
        processlog::outf(Priority::Warning, "=================>>>MainAppProtocolComm the ready notice cannot be "
                                            "sent; reconnecting\n");
        endConnection();
    }
}

// Link's thread, before it waits: the timers of the send side and of the
// connection. Returns how long the wait may last.
int McuTransport::runTimers()
{
    assert(onLinkThread());
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    const Clock::time_point now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    bool silent = false;
    unsigned long long readsAgainAfter = 0;
    bool readsAgain = false;
    unsigned long long in = 0, out = 0, dropped = 0;
    const bool summaryDue = !processlog::recordLines() && now >= m_nextSummary;
    {
        SendLock lock(&m_sendMutex);
        if (!m_queue.empty()) {
            // Bytes the service took from the socket count as reading, even
            // while the socket has no room for more of the queue yet.
            const long unread = mcusocket::unreadBytes(m_socket);
            if (unread >= 0 && unread < m_lastUnread)
                m_lastTaken = now;
            m_lastUnread = unread;
            silent = now - m_lastTaken >= linklimits::kPeerSilence;
            next = std::min({next, m_lastTaken + linklimits::kPeerSilence, now + linklimits::kQueueRetry});
        } else if (m_dropping && m_drainedAt != Clock::time_point{}) {
            if (now - m_drainedAt >= linklimits::kStallStreakQuiet) {
                readsAgain = true;
                readsAgainAfter = m_streakDrops;
                m_dropping = false;
                m_streakDrops = 0;
                m_drainedAt = Clock::time_point{};
            } else {
                next = std::min(next, m_drainedAt + linklimits::kStallStreakQuiet);
            }
        }
        if (summaryDue) {
            out = m_recordsOut;
            dropped = m_recordsDropped;
            m_recordsOut = m_recordsDropped = 0;
        }
    }
    if (readsAgain)
        processlog::outf(Priority::Info, "=================>>>MainAppProtocolComm the MCU service reads again; "
                                         "%llu records were dropped\n", readsAgainAfter);
    if (summaryDue) {
        in = m_recordsIn;
        m_recordsIn = 0;
        processlog::outf(Priority::Info, "=================>>>MainAppProtocolComm in the last minute: %llu records "
                                         "in, %llu out, %llu dropped\n", in, out, dropped);
        m_nextSummary = now + linklimits::kSummaryInterval;
    }
    if (!processlog::recordLines())
        next = std::min(next, m_nextSummary);
    if (silent) {
        processlog::outf(Priority::Warning, "=================>>>MainAppProtocolComm the MCU service has read "
                                            "nothing for %lld ms; reconnecting\n",
                         static_cast<long long>(milliseconds(linklimits::kPeerSilence).count()));
        endConnection();
        return 0;
    }
    // A young connection is looked at again when it is old enough to count;
    // after that, at its first record (the read turn before this one).
    if (m_socket >= 0 && !m_achieved) {
        if (now - m_connectedAt < linklimits::kGoodConnection)
            next = std::min(next, m_connectedAt + linklimits::kGoodConnection);
        else if (m_gotRecord)
            endStormStreak();
    }
    if (next == Clock::time_point::max())
        return -1;
    return next <= now ? 0 : int(duration_cast<milliseconds>(next - now).count()) + 1;
}

} // namespace tamoappframework

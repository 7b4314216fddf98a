#include "logwriter.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace processlog {

namespace {

// Whether journalStream ("device:inode", as the service manager sets
// JOURNAL_STREAM) names the file that fd is open on.
bool namesDescriptor(const char *journalStream, int fd)
{
    if (!journalStream)
        return false;
    char *end = nullptr;
    const unsigned long long device = std::strtoull(journalStream, &end, 10);
    if (end == journalStream || *end != ':')
        return false;
    const char *inodeText = end + 1;
    const unsigned long long inode = std::strtoull(inodeText, &end, 10);
    if (end == inodeText || *end != '\0')
        return false;
    struct stat st {};
    return ::fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

// The most a write to fd may carry to go out whole once poll() finds room: a
// pipe then takes PIPE_BUF bytes, a socket a quarter of its buffer; a terminal
// a little; a file or a device that is no terminal anything.
size_t chunkFor(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return PIPE_BUF;
    if (S_ISSOCK(st.st_mode)) {
        int size = 0;
        socklen_t len = sizeof size;
        if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &len) != 0)
            return PIPE_BUF;
        return std::clamp(size_t(size) / 4, size_t(PIPE_BUF), LineRing::kCapacity);
    }
    if (S_ISFIFO(st.st_mode) || ::isatty(fd))
        return PIPE_BUF;
    return LineRing::kCapacity;
}

// Writes the pieces to fd, which poll() found room on. A reader that is gone
// (EPIPE: the launcher ignores SIGPIPE) or a descriptor that fails costs the
// bytes, nothing else.
void writeAll(int fd, iovec *piece, int count)
{
    while (count > 0) {
        const ssize_t k = ::writev(fd, piece, count);
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Someone made the shared descriptor non-blocking (a terminal
            // program may): wait for room instead of spinning.
            pollfd w{fd, POLLOUT, 0};
            ::poll(&w, 1, 100);
            continue;
        }
        if (k <= 0)
            return;
        size_t done = size_t(k);
        while (count > 0 && done >= piece->iov_len) {
            done -= piece->iov_len;
            ++piece;
            --count;
        }
        if (count > 0) {
            piece->iov_base = static_cast<char *>(piece->iov_base) + done;
            piece->iov_len -= done;
        }
    }
}

// Whether fd takes a write now (poll() finds room), or fails it at once (a
// reader gone, a closed descriptor): either way the write does not wait.
bool hasRoom(int fd)
{
    pollfd p{fd, POLLOUT, 0};
    int r;
    do {
        r = ::poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r != 0;
}

// One write of a short line, only if fd takes it without waiting.
void writeIfRoom(int fd, const char *p, size_t n)
{
    if (::send(fd, p, n, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0 || errno != ENOTSOCK)
        return;
    if (hasRoom(fd)) {
        const ssize_t unused = ::write(fd, p, n); // with room, a short line goes out whole
        (void)unused;
    }
}

} // namespace

Writer::Writer(int outFd, int errFd, const char *journalStream)
{
    Channel &out = m_channels[int(Stream::Out)];
    out.fd = outFd;
    out.prefixed = namesDescriptor(journalStream, outFd);
    out.noticeFormat = "=================>>>MainAppProtocolComm %llu console lines dropped\n";
    out.chunk = chunkFor(outFd);
    Channel &err = m_channels[int(Stream::Err)];
    err.fd = errFd;
    err.prefixed = namesDescriptor(journalStream, errFd);
    err.noticeFormat = "launcher: %llu log lines dropped\n";
    err.chunk = chunkFor(errFd);
}

Writer::~Writer()
{
    bool started;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_ending = true;
        started = m_started;
    }
    if (started) {
        wake();
        ::pthread_join(m_thread, nullptr);
        ::close(m_wakeFd);
    }
}

bool Writer::startLocked()
{
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd >= 0 && ::pthread_create(&m_thread, nullptr, &Writer::threadEntry, this) == 0) {
        ::pthread_setname_np(m_thread, "log-writer");
        m_started = true;
        return true;
    }
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
    m_wakeFd = -1;
    m_closed = true;
    static const char kNoWriter[] = "launcher: cannot start the log writer thread; lines are dropped\n";
    writeIfRoom(m_channels[int(Stream::Err)].fd, kNoWriter, sizeof kNoWriter - 1);
    return false;
}

void Writer::wake()
{
    if (m_wakeFd < 0)
        return;
    const uint64_t one = 1;
    ssize_t r;
    do {
        r = ::write(m_wakeFd, &one, sizeof one);
    } while (r < 0 && errno == EINTR);
}

void Writer::write(Stream stream, Priority priority, const char *text, size_t len, bool bulk)
{
    if (!text || len == 0)
        return;
    Channel &c = m_channels[int(stream)];
    bool wakeWriter = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_started && !m_closed)
            startLocked();
        // After a drop the stream's lines wait for its count line, so that
        // the gap is marked where it is.
        if (bulk && c.pending > 0) {
            ++c.pending;
            ++c.dropped;
            return;
        }
        wakeWriter = pushLocked(c, priority, text, len, bulk);
    }
    if (wakeWriter)
        wake();
}

void Writer::writeMade(Stream stream, Priority priority, LineMaker make, const void *context)
{
    Channel &c = m_channels[int(stream)];
    bool wakeWriter = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_started && !m_closed)
            startLocked();
        // A flood's dropped lines cost a count, not the making of each.
        if (c.pending > 0) {
            ++c.pending;
            ++c.dropped;
            return;
        }
        char text[256];
        const size_t len = std::min(make(text, sizeof text, context), sizeof text);
        if (len == 0)
            return;
        wakeWriter = pushLocked(c, priority, text, len, true);
    }
    if (wakeWriter)
        wake();
}

// Queues one line (counted as dropped when there is no room); true when the
// writer thread is to be woken for it.
bool Writer::pushLocked(Channel &c, Priority priority, const char *text, size_t len, bool bulk)
{
    const char prefix[] = {'<', char('0' + int(priority)), '>'};
    const size_t prefixLen = c.prefixed ? sizeof prefix : 0;
    const size_t room = bulk ? LineRing::kCapacity / 4 * 3 : LineRing::kCapacity;
    if (!c.ring.push(prefix, prefixLen, text, len, room)) {
        ++c.pending;
        ++c.dropped;
        return false;
    }
    // One wake-up per sleep: the lines that follow before the writer runs
    // do not each make a system call.
    if (c.wakeOnLine) {
        for (Channel &k : m_channels)
            k.wakeOnLine = false;
        return true;
    }
    if (m_gathering && !c.stalled && c.ring.halfFull()) {
        m_gathering = false;
        return true;
    }
    return false;
}

void *Writer::threadEntry(void *self)
{
    static_cast<Writer *>(self)->run();
    return nullptr;
}

bool Writer::idleLocked() const
{
    for (const Channel &c : m_channels)
        if (c.hasWork())
            return false;
    return true;
}

// A stream that has no room is left to fill up.
bool Writer::halfFullLocked() const
{
    for (const Channel &c : m_channels)
        if (!c.stalled && c.ring.halfFull())
            return true;
    return false;
}

void Writer::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_ending) {
        if (m_closed || idleLocked()) {
            m_drained.notify_all();
            sleepLocked(lock, -1, false);
            continue;
        }
        // Let lines gather; a queue half full or a flush cuts it short.
        if (m_flushers == 0 && !halfFullLocked()) {
            m_gathering = true;
            sleepLocked(lock, kGatherMs, false);
            m_gathering = false;
        }
        bool stalled = false;
        for (Channel &c : m_channels)
            if (c.hasWork() && !writeOutLocked(c, lock))
                stalled = true;
        if (!stalled || m_closed)
            continue;
        // Every stream with lines has no room: wait for room, or for a line of
        // a stream that has room.
        bool otherWork = false;
        for (const Channel &c : m_channels)
            otherWork = otherWork || (c.hasWork() && !c.stalled);
        if (!otherWork)
            sleepLocked(lock, -1, true);
    }
}

// Sleeps until the wake-up descriptor is written or timeoutMs pass; with
// forRoom also until a stalled stream's descriptor has room. Without a time
// limit, a line of a stream that is not stalled ends the sleep.
void Writer::sleepLocked(std::unique_lock<std::mutex> &lock, int timeoutMs, bool forRoom)
{
    pollfd fds[3];
    nfds_t n = 0;
    fds[n++] = {m_wakeFd, POLLIN, 0};
    for (Channel &c : m_channels) {
        const bool waitForRoom = forRoom && c.stalled && c.hasWork();
        c.wakeOnLine = timeoutMs < 0 && !waitForRoom && !m_closed;
        if (waitForRoom)
            fds[n++] = {c.fd, POLLOUT, 0};
    }
    lock.unlock();
    int r;
    do {
        r = ::poll(fds, n, timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r > 0 && (fds[0].revents & POLLIN)) {
        uint64_t count;
        const ssize_t unused = ::read(m_wakeFd, &count, sizeof count);
        (void)unused;
    }
    lock.lock();
    for (Channel &c : m_channels)
        c.wakeOnLine = false;
}

// Writes the lines queued now, in chunks of whole lines while the descriptor
// has room, then the count of lines dropped meanwhile once the queue is empty.
// False when the descriptor had no room.
bool Writer::writeOutLocked(Channel &c, std::unique_lock<std::mutex> &lock)
{
    size_t left = c.ring.used();
    for (;;) {
        if (m_closed)
            return true;
        iovec piece[2];
        int count = 0;
        char line[128];
        if (left > 0) {
            count = c.ring.front(std::min(left, c.chunk), piece);
            c.inFlight = piece[0].iov_len + (count > 1 ? piece[1].iov_len : 0);
        } else if (!c.ring.empty() || c.pending == 0) {
            return true;
        }
        m_busy = true;
        lock.unlock();
        const bool room = hasRoom(c.fd);
        if (room && count > 0)
            writeAll(c.fd, piece, count);
        lock.lock();
        m_busy = false;
        c.stalled = !room;
        if (!room) {
            c.inFlight = 0;
            return false;
        }
        if (count > 0) {
            c.ring.pop(c.inFlight);
            left -= c.inFlight;
            c.inFlight = 0;
        } else if (!m_closed) {
            // Caught up: the count, written with the lock released (lines that
            // come meanwhile go after it).
            iovec notice{line, this->notice(c, c.pending, line, sizeof line)};
            c.pending = 0;
            m_busy = true;
            lock.unlock();
            writeAll(c.fd, &notice, 1);
            lock.lock();
            m_busy = false;
        }
    }
}

size_t Writer::notice(const Channel &c, uint64_t count, char *to, size_t size) const
{
    size_t n = 0;
    if (c.prefixed)
        n = size_t(std::snprintf(to, size, "<%d>", int(Priority::Warning)));
    const int k = std::snprintf(to + n, size - n, c.noticeFormat, static_cast<unsigned long long>(count));
    return std::min(n + size_t(std::max(k, 0)), size - 1);
}

bool Writer::flush(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto drained = [this] { return idleLocked() && !m_busy; };
    if (!m_started || m_closed)
        return drained();
    ++m_flushers;
    lock.unlock();
    wake();
    lock.lock();
    const bool done = m_drained.wait_for(lock, std::chrono::milliseconds(timeoutMs), drained);
    --m_flushers;
    return done;
}

bool Writer::finish(int timeoutMs)
{
    if (flush(timeoutMs))
        return true;
    struct Count {
        int fd;
        char line[128];
        size_t len;
    } counts[2];
    int n = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed)
            return false;
        m_closed = true;
        // The writer leaves off after the chunk it may be writing (it found
        // room for it); what is queued behind is lost with what was dropped.
        for (Channel &c : m_channels) {
            const uint64_t queued = c.ring.linesAfter(c.inFlight);
            const uint64_t lost = c.pending + queued;
            c.dropped += queued;
            c.pending = 0;
            if (lost > 0) {
                counts[n].fd = c.fd;
                counts[n].len = notice(c, lost, counts[n].line, sizeof counts[n].line);
                ++n;
            }
        }
    }
    wake();
    for (int i = 0; i < n; ++i)
        writeIfRoom(counts[i].fd, counts[i].line, counts[i].len);
    return false;
}

uint64_t Writer::dropped(Stream stream) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_channels[int(stream)].dropped;
}

void Writer::forkPrepare() { m_mutex.lock(); }

void Writer::forkParent() { m_mutex.unlock(); }

void Writer::forkChild()
{
    // The writer thread is the parent's, and so are its lines and its wake-up
    // descriptor. The condition variable may still count the parent's
    // waiters: made anew.
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
    m_wakeFd = -1;
    m_started = false;
    m_gathering = false;
    m_busy = false;
    m_flushers = 0;
    for (Channel &c : m_channels) {
        c.ring.clear();
        c.inFlight = 0;
        c.pending = 0;
        c.stalled = false;
        c.wakeOnLine = false;
    }
    new (&m_drained) std::condition_variable();
    m_mutex.unlock();
}

} // namespace processlog

#include "mainappprotocolcomm.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

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

constexpr int kInitialBackoffMs = 50;
constexpr int kMaxBackoffMs = 1000;
constexpr long kSendLockWaitNs = 50L * 1000 * 1000;

// Writes all of [data, data + len) to a stream socket: EINTR is retried, a
// partial write is continued, and a closed peer yields -1 (EPIPE), never SIGPIPE.
int sendAll(int fd, const void *data, int len)
{
    auto *p = static_cast<const unsigned char *>(data);
    size_t left = size_t(len);
    while (left > 0) {
        const ssize_t n = ::send(fd, p, left, MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            left -= size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return -1;
        }
    }
    return 0;
}

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

// Reads what the socket holds now, up to len bytes; EAGAIN when it holds nothing.
ssize_t receiveNow(int fd, void *buf, size_t len)
{
    ssize_t n;
    do {
        n = ::recv(fd, buf, len, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n;
}

// The record that tells the MCU the application is up: msg 12, p1 17, p2 2.
McuShortMsg readyNotice()
{
    McuShortMsg m{};
    m.kind = mcu::kKindShort;
    m.msg = MSG_A2M_SHORT;
    m.p1 = MSG_A2M_APP_READY;
    m.p2 = 2;
    return m;
}

// Fills a Unix-domain address from a name whose leading '@' stands for the
// abstract namespace. False when the name does not fit.
bool fillAddress(sockaddr_un &addr, const std::string &name)
{
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (name.empty() || name.size() > sizeof addr.sun_path - 1)
        return false;
    std::memcpy(addr.sun_path, name.data(), name.size());
    if (addr.sun_path[0] == '@')
        addr.sun_path[0] = '\0';
    return true;
}

socklen_t clampLength(socklen_t length)
{
    return std::min<socklen_t>(length, socklen_t(sizeof(sockaddr_un)));
}

// The abstract name carries no permissions: whoever binds it first is "the
// service". Only a peer running as root or as this process's own user may talk
// to the link. False (with what was learnt in *cred) otherwise, and also when
// the credentials cannot be read at all.
bool peerTrusted(int fd, ucred *cred)
{
    *cred = ucred{-1, uid_t(-1), gid_t(-1)};
    socklen_t len = sizeof *cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, cred, &len) != 0 || len != sizeof *cred)
        return false;
    return cred->uid == 0 || cred->uid == ::geteuid();
}

} // namespace

MainAppProtocolComm *MainAppProtocolComm::m_s_MainAppProtocolComm = nullptr;

MainAppProtocolComm *MainAppProtocolComm::GetInstance()
{
    if (!m_s_MainAppProtocolComm)
        m_s_MainAppProtocolComm = new MainAppProtocolComm();
    return m_s_MainAppProtocolComm;
}

void MainAppProtocolComm::DeleteInstance()
{
    MainAppProtocolComm *inst = m_s_MainAppProtocolComm;
    if (!inst)
        return;
    m_s_MainAppProtocolComm = nullptr;
    delete inst; // the destructor ends the receive thread first
}

MainAppProtocolComm::MainAppProtocolComm() = default;

MainAppProtocolComm::~MainAppProtocolComm()
{
    Stop();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

void MainAppProtocolComm::setEndpoint(const McuEndpoint &endpoint)
{
    m_endpoint = endpoint;
}

void MainAppProtocolComm::setConnector(std::function<int()> connector)
{
    m_connector = std::move(connector);
}

void MainAppProtocolComm::setRecordTap(RecordTap tap, void *context)
{
    m_tap = tap;
    m_tapContext = context;
}

bool MainAppProtocolComm::isConnected() const
{
    return m_socket.load(std::memory_order_acquire) >= 0;
}

unsigned MainAppProtocolComm::connectionCount() const
{
    return m_connections.load(std::memory_order_acquire);
}

unsigned MainAppProtocolComm::refusedPeerCount() const
{
    return m_refusedPeers.load(std::memory_order_acquire);
}

void MainAppProtocolComm::Start()
{
    if (m_threadStarted)
        return;

    if (m_wakeFd < 0) {
        m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    } else {
        eventfd_t stale;
        ::eventfd_read(m_wakeFd, &stale); // a wake left over from the last Stop()
    }
    m_framer.reset();
    m_connections.store(0);
    m_refusedPeers.store(0);
    endGarbageStreak();
    {
        std::lock_guard<std::mutex> lock(m_startMutex);
        m_firstAttemptDone = false;
    }

    m_running.store(1);
    const int rc = ::pthread_create(&m_thread, nullptr, &MainAppProtocolComm::_thread, this);
    if (rc != 0) {
        m_running.store(0);
        std::printf("=================>>>MainAppProtocolComm cannot start the receive thread: %s\n",
                    std::strerror(rc));
        std::fflush(stdout);
        return;
    }
    m_threadStarted = true;

    // Senders right after Start() find the link up when the service is there.
    // A connect on a local socket does not wait; a test connector might, so
    // start-up is never held for long.
    std::unique_lock<std::mutex> lock(m_startMutex);
    m_startCv.wait_for(lock, std::chrono::seconds(1), [this] { return m_firstAttemptDone; });
}

void MainAppProtocolComm::Stop()
{
    m_running.store(0);
    if (!m_threadStarted)
        return;
    wake();
    if (::pthread_equal(::pthread_self(), m_thread)) {
        // Asked from a handler: the loop ends when the handler returns; whoever
        // stops or deletes the link next joins the thread.
        return;
    }
    ::pthread_join(m_thread, nullptr);
    m_threadStarted = false;
}

void MainAppProtocolComm::wake()
{
    if (m_wakeFd >= 0)
        ::eventfd_write(m_wakeFd, 1);
}

bool MainAppProtocolComm::waitForWake(int timeoutMs)
{
    if (!m_running.load())
        return false;
    pollfd p{m_wakeFd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r > 0) {
        eventfd_t stale;
        ::eventfd_read(m_wakeFd, &stale); // never left set: the next wait would not wait
    }
    return m_running.load() != 0;
}

int MainAppProtocolComm::SendData(void *data, int len)
{
    if (m_socket.load(std::memory_order_acquire) < 0)
        return -1;
    if (len <= 0)
        return 0;
    if (!data)
        return -1;

    // Monotonic: this process sets the realtime clock.
    timespec deadline;
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += kSendLockWaitNs;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
    }
    if (lockBefore(&m_sendMutex, deadline) != 0) {
        std::printf("===============>repeat call SendData");
        std::fflush(stdout);
        return -1;
    }

    // Re-read under the lock: the receive thread withdraws the descriptor
    // under it before closing, so this one is open until we unlock.
    const int fd = m_socket.load(std::memory_order_acquire);
    const int result = fd < 0 ? -1 : sendAll(fd, data, len);
    ::pthread_mutex_unlock(&m_sendMutex);
    return result;
}

void MainAppProtocolComm::AppReady()
{
    // Flag and send under the one lock that also publishes a new connection,
    // so each connection gets the notice exactly once.
    ::pthread_mutex_lock(&m_sendMutex);
    m_appReady.store(true);
    const int fd = m_socket.load(std::memory_order_acquire);
    if (fd >= 0) {
        const McuShortMsg m = readyNotice();
        sendAll(fd, &m, int(sizeof m));
    }
    ::pthread_mutex_unlock(&m_sendMutex);
}

void *MainAppProtocolComm::_thread(void *self)
{
    static_cast<MainAppProtocolComm *>(self)->loop();
    return nullptr;
}

int MainAppProtocolComm::openConnection(int *error)
{
    *error = 0;
    if (m_connector) {
        const int fd = m_connector();
        if (fd < 0)
            *error = errno ? errno : ECONNREFUSED;
        return fd;
    }

    sockaddr_un service;
    if (!fillAddress(service, m_endpoint.servicePath)) {
        *error = ENAMETOOLONG;
        return -1;
    }

    // Non-blocking while connecting: a service whose backlog is full answers
    // EAGAIN at once instead of holding this thread (and Stop()) in connect.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }

    // The local name is only a label for the service's side; a bind that fails
    // leaves an unnamed socket that still connects.
    if (!m_endpoint.localPath.empty() && fillAddress(m_localAddr, m_endpoint.localPath)) {
        if (m_localAddr.sun_path[0] != '\0')
            ::unlink(m_localAddr.sun_path);
        ::bind(fd, reinterpret_cast<const sockaddr *>(&m_localAddr),
               clampLength(m_endpoint.bindLength));
    }

    if (::connect(fd, reinterpret_cast<const sockaddr *>(&service),
                  clampLength(m_endpoint.connectLength)) != 0) {
        *error = errno;
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        *error = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

void MainAppProtocolComm::installConnection(int fd)
{
    m_framer.reset(); // a new connection is a new stream

    ::pthread_mutex_lock(&m_sendMutex);
    m_socket.store(fd, std::memory_order_release);
    if (m_appReady.load()) {
        const McuShortMsg m = readyNotice();
        sendAll(fd, &m, int(sizeof m));
    }
    m_connections.fetch_add(1, std::memory_order_acq_rel);
    ::pthread_mutex_unlock(&m_sendMutex);
}

void MainAppProtocolComm::dropConnection(int fd)
{
    if (fd < 0)
        return;
    // Wakes a sender blocked on a full socket, so that it lets go of the lock.
    ::shutdown(fd, SHUT_RDWR);
    ::pthread_mutex_lock(&m_sendMutex);
    m_socket.store(-1, std::memory_order_release);
    ::pthread_mutex_unlock(&m_sendMutex);
    ::close(fd);
}

void MainAppProtocolComm::reportFirstAttempt()
{
    std::lock_guard<std::mutex> lock(m_startMutex);
    if (!m_firstAttemptDone) {
        m_firstAttemptDone = true;
        m_startCv.notify_all();
    }
}

void MainAppProtocolComm::noteOverflow(int dropped)
{
    if (m_dropLogged) {
        ++m_suppressedDrops;
        return;
    }
    std::printf("=================>>>MainAppProtocolComm dropped %d pending bytes\n", dropped);
    m_dropLogged = true;
}

void MainAppProtocolComm::endGarbageStreak()
{
    if (m_suppressedResets > 0)
        std::printf("=================>>>MainAppProtocolComm over size repeated %u times\n",
                    m_suppressedResets);
    if (m_suppressedDrops > 0)
        std::printf("=================>>>MainAppProtocolComm dropped pending bytes %u more times\n",
                    m_suppressedDrops);
    m_suppressedResets = 0;
    m_suppressedDrops = 0;
    m_resetLogged = false;
    m_dropLogged = false;
}

void MainAppProtocolComm::dispatchPending()
{
    McuFramer::Record rec;
    for (;;) {
        const McuFramer::Step step = m_framer.next(rec);
        if (step == McuFramer::Step::NeedMore)
            return;
        if (step == McuFramer::Step::Reset) {
            // A run of garbage logs once, not once per read.
            if (m_resetLogged) {
                ++m_suppressedResets;
            } else {
                std::printf("=================>>>MainAppProtocolComm over size: %d\n",
                            mcu::kRecvBufferSize);
                m_resetLogged = true;
            }
            continue;
        }
        if (m_resetLogged || m_dropLogged)
            endGarbageStreak();
        if (!m_running.load())
            return;
        if (m_tap)
            m_tap(m_tapContext, rec.data, rec.size);
        resolvePacket(rec.data);
    }
}

void MainAppProtocolComm::loop()
{
    int fd = -1;
    int backoffMs = 0;          // wait before the next connection attempt
    bool failing = false;       // a connection failed or ended since the last good one
    bool refusalReported = false;
    bool refusedLogged = false; // an untrusted peer was logged in this failure streak...
    pid_t refusedPid = 0;       // ...and this was its process
    bool receivedData = false;  // the current connection has carried bytes
    auto *readBuf = reinterpret_cast<unsigned char *>(&m_scratch);

    auto nextBackoff = [&backoffMs] {
        backoffMs = backoffMs == 0 ? kInitialBackoffMs : std::min(backoffMs * 2, kMaxBackoffMs);
    };

    while (m_running.load()) {
        if (fd < 0) {
            if (backoffMs > 0 && !waitForWake(backoffMs))
                break;
            int error = 0;
            fd = openConnection(&error);
            if (fd < 0) {
                if (!refusalReported) {
                    std::printf("=================>>>MainAppProtocolComm cannot connect to the MCU "
                                "service (%s); retrying\n", std::strerror(error));
                    std::fflush(stdout);
                    refusalReported = true;
                }
                reportFirstAttempt();
                failing = true;
                nextBackoff();
                continue;
            }
            ucred peer;
            if (!peerTrusted(fd, &peer)) {
                // Closed before a byte is read from it or sent to it; the same
                // impostor found again on every retry is logged once.
                ::close(fd);
                fd = -1;
                if (!refusedLogged || peer.pid != refusedPid) {
                    if (peer.uid == uid_t(-1))
                        std::printf("=================>>>MainAppProtocolComm refused the MCU service "
                                    "peer: its credentials cannot be read\n");
                    else
                        std::printf("=================>>>MainAppProtocolComm refused the MCU service "
                                    "peer pid %d uid %u: neither root nor the launcher's user\n",
                                    int(peer.pid), unsigned(peer.uid));
                    std::fflush(stdout);
                    refusedLogged = true;
                    refusedPid = peer.pid;
                }
                // Counted and reported only once logged, like every outcome here.
                m_refusedPeers.fetch_add(1, std::memory_order_acq_rel);
                reportFirstAttempt();
                failing = true;
                nextBackoff();
                continue;
            }
            // Logged before the connection is visible to senders and callers,
            // so the line always precedes what is done over it.
            if (failing) {
                std::printf("=================>>>MainAppProtocolComm connected to the MCU service\n");
                std::fflush(stdout);
            }
            installConnection(fd);
            reportFirstAttempt();
            failing = false;
            refusalReported = false;
            refusedLogged = false;
            receivedData = false;
        }

        // Take what is waiting without blocking: under load that is the one
        // system call of a turn. Only when nothing is there does the thread
        // flush its log lines and block, in a wait that Stop() can end.
        const ssize_t n = receiveNow(fd, readBuf, sizeof m_scratch);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            std::fflush(stdout);
            pollfd p[2] = {{fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
            const int r = ::poll(p, m_wakeFd >= 0 ? 2 : 1, -1);
            if (r > 0 && p[1].revents != 0) {
                eventfd_t stale;
                ::eventfd_read(m_wakeFd, &stale); // Stop(), or a wake meant for an earlier run
            }
            continue; // the flag is tested again before the read
        }
        if (n <= 0) {
            if (n < 0)
                std::printf("-main app socket read failed with error: %d\n", errno);
            else
                std::printf("Main App invaild datalen:%d\n", int(n));
            endGarbageStreak();
            std::fflush(stdout);
            dropConnection(fd);
            fd = -1;
            failing = true;
            // A connection that carried data was good: start the back-off over.
            if (receivedData)
                backoffMs = 0;
            nextBackoff();
            continue;
        }

        receivedData = true;
        int dropped = 0;
        m_framer.append(readBuf, int(n), &dropped);
        if (dropped > 0)
            noteOverflow(dropped);
        dispatchPending();
    }

    reportFirstAttempt(); // Start() must not wait on a thread that never tried
    dropConnection(fd);
    std::fflush(stdout);
}

} // namespace tamoappframework

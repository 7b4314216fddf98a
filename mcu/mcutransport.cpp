// The MCU transport's thread: connecting, the peer check, the back-off,
// reading and framing.

#include "mcutransport.h"

#include "processlog.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>

#include <sys/eventfd.h>
#include <unistd.h>

namespace tamoappframework {

namespace {

using processlog::Priority;

void drainEventFd(int fd)
{
    eventfd_t stale;
    if (fd >= 0)
        ::eventfd_read(fd, &stale);
}

} // namespace

McuTransport::McuTransport() = default;

McuTransport::~McuTransport()
{
    stop();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
    if (m_stopFd >= 0)
        ::close(m_stopFd);
}

void McuTransport::setEndpoint(const McuEndpoint &endpoint)
{
    m_endpoint = endpoint;
}

void McuTransport::setConnector(std::function<int()> connector)
{
    m_connector = std::move(connector);
}

void McuTransport::setRecordTap(RecordTap tap, void *context)
{
    m_tap = tap;
    m_tapContext = context;
}

void McuTransport::setCaptureHook(CaptureHook hook, void *context)
{
    m_capture = hook;
    m_captureContext = context;
}

void McuTransport::setServiceUser(const std::string &name)
{
    m_serviceUser = name;
}

bool McuTransport::onLinkThread() const
{
    return m_linkThreadRunning.load(std::memory_order_acquire) &&
           ::pthread_equal(::pthread_self(), m_linkThread.load(std::memory_order_acquire));
}

void McuTransport::requestSignOfLife()
{
    m_lifeAsked.fetch_add(1, std::memory_order_acq_rel);
    if (m_wakeFd >= 0)
        ::eventfd_write(m_wakeFd, 1);
}

bool McuTransport::signOfLifeAnswered() const
{
    return m_lifeAnswered.load(std::memory_order_acquire) == m_lifeAsked.load(std::memory_order_acquire);
}

void McuTransport::answerSignOfLife()
{
    const unsigned long long asked = m_lifeAsked.load(std::memory_order_acquire);
    if (m_lifeAnswered.load(std::memory_order_relaxed) != asked)
        m_lifeAnswered.store(asked, std::memory_order_release);
}

bool McuTransport::start(RecordSink sink, void *context)
{
    if (m_threadStarted)
        return true;
    // Without these stop() could not wake the thread: refuse to start at all.
    if (m_stopFd < 0)
        m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0)
        m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_stopFd < 0 || m_wakeFd < 0) {
        processlog::outf(Priority::Error, "%scannot start: no wake-up descriptor (%s)\n", kTag, std::strerror(errno));
        return false;
    }
    drainEventFd(m_stopFd); // left readable by the last stop()
    drainEventFd(m_wakeFd);
    m_sink = sink;
    m_sinkContext = context;
    m_framer.reset();
    m_connections.store(0);
    m_refusedPeers.store(0);
    m_backoff = std::chrono::milliseconds(0);
    m_absentLogged = m_refusedLogged = false;
    m_earlyEnds = 0;
    m_nextSummary = Clock::now() + linklimits::kSummaryInterval;
    endGarbageStreak();
    m_trust.resolve(m_serviceUser);
    {
        std::lock_guard<std::mutex> lock(m_startMutex);
        m_firstAttemptDone = false;
    }
    m_running.store(true);
    const int rc = ::pthread_create(&m_thread, nullptr, &McuTransport::threadEntry, this);
    if (rc != 0) {
        m_running.store(false);
        processlog::outf(Priority::Error, "%scannot start the receive thread: %s\n", kTag, std::strerror(rc));
        return false;
    }
    m_threadStarted = true;
    std::unique_lock<std::mutex> lock(m_startMutex);
    m_startCv.wait_for(lock, linklimits::kFirstAttemptWait, [this] { return m_firstAttemptDone; });
    return true;
}

void McuTransport::stop()
{
    m_running.store(false);
    if (!m_threadStarted)
        return;
    // Level-triggered until the next start(): every wait of the thread ends at once.
    if (m_stopFd >= 0)
        ::eventfd_write(m_stopFd, 1);
    if (onLinkThread())
        return; // asked from a handler: the loop ends when it returns
    ::pthread_join(m_thread, nullptr);
    m_threadStarted = false;
}

void *McuTransport::threadEntry(void *self)
{
    auto *transport = static_cast<McuTransport *>(self);
    ::pthread_setname_np(::pthread_self(), kThreadName);
    transport->m_linkThread.store(::pthread_self(), std::memory_order_release);
    transport->m_linkThreadRunning.store(true, std::memory_order_release);
    transport->loop();
    transport->m_linkThreadRunning.store(false, std::memory_order_release);
    return nullptr;
}

void McuTransport::reportFirstAttempt()
{
    std::lock_guard<std::mutex> lock(m_startMutex);
    if (!m_firstAttemptDone) {
        m_firstAttemptDone = true;
        m_startCv.notify_all();
    }
}

// Waits out the back-off; wake-ups are answered, they do not cut it short.
bool McuTransport::waitOutBackoff()
{
    assert(onLinkThread());
    const timespec deadline = mcusocket::deadlineAfter(m_backoff.count());
    while (m_running.load()) {
        answerSignOfLife();
        const int left = mcusocket::msUntil(deadline);
        if (left <= 0)
            return true;
        if (mcusocket::waitFor(-1, false, m_wakeFd, m_stopFd, left) & mcusocket::kWoken)
            drainEventFd(m_wakeFd);
    }
    return false;
}

int McuTransport::openSocket(int *error)
{
    *error = 0;
    if (!m_connector) {
        sockaddr_un local;
        return mcusocket::connectTo(m_endpoint, &local, error);
    }
    const int fd = m_connector();
    if (fd < 0) {
        *error = errno ? errno : ECONNREFUSED;
        return -1;
    }
    if (!mcusocket::setNonBlocking(fd)) {
        *error = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

// One attempt: a trusted, connected descriptor, or -1 (absent or refused;
// logged once per streak, the back-off grown).
int McuTransport::connectOnce()
{
    assert(onLinkThread());
    const auto grow = [this] {
        growBackoff();
        reportFirstAttempt();
    };
    int error = 0;
    const int fd = openSocket(&error);
    if (fd < 0) {
        // An absent service is no storm: its return is logged in full.
        closeEarlyStreak();
        if (!m_absentLogged)
            processlog::outf(Priority::Warning, "%scannot connect to the MCU service (%s); retrying\n", kTag,
                             std::strerror(error));
        m_absentLogged = true;
        m_states.set(McuLinkState::Absent);
        grow();
        return -1;
    }
    ucred peer;
    const bool known = mcusocket::peerCredentials(fd, &peer);
    if (!known || !m_trust.trusts(peer.uid)) {
        // Closed before a byte is read from it or sent to it; the same
        // impostor found again on every retry is logged once.
        ::close(fd);
        if (!m_refusedLogged || peer.pid != m_refusedPid) {
            if (!known)
                processlog::outf(Priority::Warning, "%srefused the MCU service peer: its credentials cannot be "
                                                    "read\n", kTag);
            else
                processlog::outf(Priority::Warning, "%srefused the MCU service peer pid %d uid %u: trusted are %s\n",
                                 kTag, int(peer.pid), unsigned(peer.uid), m_trust.trustedUsers().c_str());
            m_refusedLogged = true;
            m_refusedPid = peer.pid;
        }
        m_refusedPeers.fetch_add(1, std::memory_order_acq_rel);
        m_states.set(McuLinkState::Refused);
        grow();
        return -1;
    }
    return fd;
}

bool McuTransport::installConnection(int fd)
{
    assert(onLinkThread());
    // Logged before the connection is visible to senders, so the line always
    // precedes what is done over it.
    if (!quiet())
        processlog::outf(Priority::Info, "%sconnected to the MCU service\n", kTag);
    m_framer.reset(); // a new connection is a new stream
    m_socket = fd;
    m_connectedAt = Clock::now();
    m_gotRecord = false;
    m_achieved = false;
    bool ok = true;
    int error = 0;
    {
        ::pthread_mutex_lock(&m_sendMutex);
        m_queue.clear();
        m_queueWaiting.store(false, std::memory_order_release);
        m_writeError = 0;
        m_noticeFailed = false;
        m_noticeOnCurrent = false;
        ++m_connectionNo;
        m_dropping = false;
        m_streakDrops = 0;
        m_drainedAt = Clock::time_point{};
        if (m_appReady.load(std::memory_order_acquire)) {
            ok = sendLocked(fd, &m_notice, sizeof m_notice) == 0;
            m_noticeOnCurrent = ok;
        }
        if (ok)
            m_fd.store(fd, std::memory_order_release);
        error = m_writeError;
        ::pthread_mutex_unlock(&m_sendMutex);
    }
    if (!ok) {
        // A fresh socket has room: only a service that is gone again refuses the notice.
        if (!quiet())
            processlog::outf(Priority::Warning, "%sa write to the MCU service failed (%s); reconnecting\n", kTag,
                             std::strerror(error ? error : EPIPE));
        endConnection();
        return false;
    }
    m_connections.fetch_add(1, std::memory_order_acq_rel);
    m_absentLogged = m_refusedLogged = false;
    m_states.set(McuLinkState::Connected);
    reportFirstAttempt();
    return true;
}

// A connection that lived kGoodConnection and carried a whole valid record
// ends the failing streak: the back-off starts over.
void McuTransport::endStormStreak()
{
    m_achieved = true;
    m_backoff = std::chrono::milliseconds(0);
    closeEarlyStreak();
}

void McuTransport::closeEarlyStreak()
{
    if (m_earlyEnds > 1)
        processlog::outf(Priority::Info, "%s%u more connections had ended early before this one\n", kTag,
                         m_earlyEnds - 1);
    m_earlyEnds = 0;
}

void McuTransport::endConnection()
{
    assert(onLinkThread());
    if (m_socket < 0)
        return;
    if (!m_achieved && m_gotRecord && Clock::now() - m_connectedAt >= linklimits::kGoodConnection)
        endStormStreak();
    {
        ::pthread_mutex_lock(&m_sendMutex);
        m_fd.store(-1, std::memory_order_release);
        m_queue.clear();
        m_queueWaiting.store(false, std::memory_order_release);
        ::pthread_mutex_unlock(&m_sendMutex);
    }
    ::close(m_socket);
    m_socket = -1;
    m_states.set(McuLinkState::Absent);
    if (!m_achieved)
        ++m_earlyEnds;
    growBackoff();
}

void McuTransport::growBackoff()
{
    m_backoff = m_backoff.count() == 0 ? linklimits::kInitialBackoff
                                       : std::min(m_backoff * 2, std::chrono::milliseconds(linklimits::kMaxBackoff));
}

void McuTransport::loop()
{
    unsigned turns = 0;
    while (m_running.load()) {
        answerSignOfLife();
        if (m_socket < 0) {
            if (m_backoff.count() > 0 && !waitOutBackoff())
                break;
            const int fd = connectOnce();
            if (fd >= 0)
                installConnection(fd);
            continue;
        }
        const bool queued = m_queueWaiting.load(std::memory_order_acquire);
        if (queued && !drainQueue()) {
            serviceWake(); // logs the failed write and ends the connection
            continue;
        }
        // Take what is waiting without blocking: under load that is the one
        // system call of a turn. The timers run when the socket is empty, or
        // every so often in a flood, or while bytes wait to go out.
        const int got = readTurn();
        if (got < 0)
            continue;
        if (got > 0 && !queued && (++turns & 1023) != 0)
            continue;
        const int timeoutMs = runTimers();
        if (m_socket < 0 || got > 0)
            continue;
        const int ready = mcusocket::waitFor(m_socket, m_queueWaiting.load(std::memory_order_acquire), m_wakeFd,
                                             m_stopFd, timeoutMs);
        if (ready & mcusocket::kWoken)
            serviceWake();
    }
    reportFirstAttempt(); // start() must not wait on a thread that never tried
    endConnection();
    m_states.set(McuLinkState::Absent);
}

} // namespace tamoappframework

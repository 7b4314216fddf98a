#include "mainappprotocolcomm.h"

#include "processlog.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <string>
#include <vector>

#include <pwd.h>
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
constexpr long kSendLockWaitMs = 50;

// Logged whenever a connection is made anew because its ready notice could
// not go out within the send limits.
constexpr char kNoticeReset[] = "=================>>>MainAppProtocolComm the ready notice cannot be sent; "
                                "reconnecting\n";

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

#ifndef LAUNCHER_MCU_SERVICE_USER
#define LAUNCHER_MCU_SERVICE_USER ""
#endif

// A user's name and uid as the refusal line shows them: "name (uid N)".
std::string describeUser(uid_t uid, const char *name)
{
    return (name && *name ? std::string(name) : std::string("uid")) + " (uid " + std::to_string(uid) + ")";
}

// getpwnam_r / getpwuid_r with a buffer that grows as they ask.
bool lookUpUser(const char *name, uid_t uid, uid_t *uidOut, std::string *nameOut)
{
    std::vector<char> buf(1024);
    for (;;) {
        passwd pw{};
        passwd *found = nullptr;
        const int rc = name ? ::getpwnam_r(name, &pw, buf.data(), buf.size(), &found)
                            : ::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 4);
            continue;
        }
        if (rc != 0 || !found)
            return false;
        if (uidOut)
            *uidOut = found->pw_uid;
        if (nameOut)
            *nameOut = found->pw_name;
        return true;
    }
}

void drainEventFd(int fd)
{
    eventfd_t stale;
    if (fd >= 0)
        ::eventfd_read(fd, &stale);
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

MainAppProtocolComm::MainAppProtocolComm() : m_serviceUser(LAUNCHER_MCU_SERVICE_USER) {}

MainAppProtocolComm::~MainAppProtocolComm()
{
    Stop();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
    if (m_stopFd >= 0)
        ::close(m_stopFd);
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

void MainAppProtocolComm::setServiceUser(const std::string &name)
{
    m_serviceUser = name;
}

MainAppProtocolComm::LinkState MainAppProtocolComm::linkState() const
{
    return m_linkState.load(std::memory_order_acquire);
}

bool MainAppProtocolComm::addStateListener(StateListener listener, void *context)
{
    if (!listener)
        return false;
    std::lock_guard<std::mutex> lock(m_stateMutex);
    for (Listener &l : m_listeners) {
        if (!l.fn) {
            l = Listener{listener, context};
            listener(context, m_linkState.load(std::memory_order_acquire));
            return true;
        }
    }
    return false;
}

void MainAppProtocolComm::removeStateListener(StateListener listener, void *context)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    for (Listener &l : m_listeners)
        if (l.fn == listener && l.context == context)
            l = Listener{};
}

// Receive thread (and Start/Stop): only connection events come here, never
// the path of a record.
void MainAppProtocolComm::setLinkState(LinkState state)
{
    std::lock_guard<std::mutex> lock(m_stateMutex);
    if (m_linkState.load(std::memory_order_relaxed) == state)
        return;
    m_linkState.store(state, std::memory_order_release);
    for (const Listener &l : m_listeners)
        if (l.fn)
            l.fn(l.context, state);
}

// The abstract name carries no permissions: whoever binds it first is "the
// service". Only root, this process's own user and the MCU service's user may
// talk to the link.
void MainAppProtocolComm::resolveTrustedUsers()
{
    const uid_t self = ::geteuid();
    std::string selfName;
    lookUpUser(nullptr, self, nullptr, &selfName);
    m_trustedUsers = describeUser(0, "root");
    if (self != 0)
        m_trustedUsers += ", " + describeUser(self, selfName.c_str());

    m_serviceUid = uid_t(-1);
    if (m_serviceUser.empty())
        return;
    uid_t uid;
    if (!lookUpUser(m_serviceUser.c_str(), 0, &uid, nullptr)) {
        processlog::outf(processlog::Priority::Info, "=================>>>MainAppProtocolComm the MCU service user \"%s\" "
                                       "is unknown; trusted are %s only\n", m_serviceUser.c_str(),
                                       m_trustedUsers.c_str());
        return;
    }
    m_serviceUid = uid;
    if (uid != 0 && uid != self)
        m_trustedUsers += ", " + describeUser(uid, m_serviceUser.c_str());
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

    // Without these Stop() could not wake the thread: refuse to start at all.
    if (m_stopFd < 0)
        m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0)
        m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_stopFd < 0 || m_wakeFd < 0) {
        processlog::outf(processlog::Priority::Info, "=================>>>MainAppProtocolComm cannot start: no wake-up "
                                       "descriptor (%s)\n", std::strerror(errno));
        std::fprintf(stderr, "MainAppProtocolComm: cannot create a wake-up descriptor: %s; the MCU link "
                             "is not started\n", std::strerror(errno));
        return;
    }
    drainEventFd(m_stopFd); // left readable by the last Stop()
    drainEventFd(m_wakeFd);
    m_resetAsked.store(false);
    m_framer.reset();
    m_connections.store(0);
    m_refusedPeers.store(0);
    endGarbageStreak();
    resolveTrustedUsers();
    {
        std::lock_guard<std::mutex> lock(m_startMutex);
        m_firstAttemptDone = false;
    }

    m_running.store(1);
    const int rc = ::pthread_create(&m_thread, nullptr, &MainAppProtocolComm::_thread, this);
    if (rc != 0) {
        m_running.store(0);
        processlog::outf(processlog::Priority::Info, "=================>>>MainAppProtocolComm cannot start the receive "
                                       "thread: %s\n", std::strerror(rc));
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
    // Level-triggered until the next Start(): every wait of the receive thread
    // and of a sender waiting for room ends at once.
    if (m_stopFd >= 0)
        ::eventfd_write(m_stopFd, 1);
    if (::pthread_equal(::pthread_self(), m_thread)) {
        // Asked from a handler: the loop ends when the handler returns; whoever
        // stops or deletes the link next joins the thread.
        return;
    }
    ::pthread_join(m_thread, nullptr);
    m_threadStarted = false;
}

bool MainAppProtocolComm::waitForWake(int timeoutMs)
{
    // A wake-up (a reset request, a sign-of-life ask) does not cut the wait short.
    const timespec deadline = mcusocket::deadlineAfter(timeoutMs);
    while (m_running.load()) {
        answerSignOfLife();
        const int left = mcusocket::msUntil(deadline);
        if (left <= 0)
            return true;
        if (mcusocket::waitReadable(-1, m_wakeFd, m_stopFd, left) & 2)
            drainEventFd(m_wakeFd);
    }
    return false;
}

int MainAppProtocolComm::sendLocked(int fd, const void *data, int len)
{
    // A peer that let a record wait the whole time is not reading: until it
    // takes bytes again, records that find no room are dropped at once. One
    // that has taken some since (its socket is momentarily full while it
    // reads) gets the whole wait again.
    long waitMs = kSendRoomWaitMs;
    if (m_peerStalled) {
        const long unread = mcusocket::unreadBytes(fd);
        if (unread < 0 || unread >= m_stalledUnread)
            waitMs = 0;
        m_stalledUnread = unread;
    }
    const timespec deadline = mcusocket::deadlineAfter(waitMs);
    switch (mcusocket::writeBefore(fd, data, size_t(len), deadline, m_stopFd)) {
    case mcusocket::WriteResult::Done:
        if (m_peerStalled) {
            processlog::outf(processlog::Priority::Info, "=================>>>MainAppProtocolComm the MCU service reads "
                                           "again; %llu records were dropped\n", m_stalledDrops);
            m_peerStalled = false;
            m_stalledDrops = 0;
        }
        m_cutLogged = false;
        return 0;
    case mcusocket::WriteResult::NothingWritten:
        if (!m_peerStalled && m_running.load()) {
            processlog::outf(processlog::Priority::Info, "=================>>>MainAppProtocolComm the MCU service is not "
                                           "reading; records that find no room are dropped\n");
            m_peerStalled = true;
        }
        if (waitMs > 0)
            m_stalledUnread = mcusocket::unreadBytes(fd); // what it must take to count as reading
        ++m_stalledDrops;
        return -1;
    case mcusocket::WriteResult::Partial:
        // The stream cannot go on with another record: the connection is made
        // anew, the receive thread sees it end. The descriptor is open while
        // the lock is held.
        if (!m_cutLogged) {
            processlog::outf(processlog::Priority::Info, "=================>>>MainAppProtocolComm a record was cut short "
                                           "(%d bytes, no room in time); reconnecting\n", len);
            m_cutLogged = true;
        }
        mcusocket::shutdownBoth(fd);
        return -1;
    case mcusocket::WriteResult::Failed:
        break;
    }
    return -1;
}

int MainAppProtocolComm::SendData(void *data, int len)
{
    if (m_socket.load(std::memory_order_acquire) < 0)
        return -1;
    if (len <= 0)
        return 0;
    if (!data)
        return -1;

    if (lockBefore(&m_sendMutex, mcusocket::deadlineAfter(kSendLockWaitMs)) != 0) {
        static constexpr char kRepeat[] = "===============>repeat call SendData\n";
        processlog::out(processlog::Priority::Info, kRepeat, sizeof kRepeat - 1);
        return -1;
    }
    // Re-read under the lock: the receive thread withdraws the descriptor
    // under it before closing, so this one is open until we unlock.
    const int fd = m_socket.load(std::memory_order_acquire);
    const int result = fd < 0 ? -1 : sendLocked(fd, data, len);
    ::pthread_mutex_unlock(&m_sendMutex);
    return result;
}

void MainAppProtocolComm::AppReady()
{
    // Set first: a connection installed from here on carries the notice itself.
    m_appReady.store(true);
    if (lockBefore(&m_sendMutex, mcusocket::deadlineAfter(kSendLockWaitMs)) != 0) {
        // Someone holds the lock, for at most a send's bounds. Whether the
        // current connection got the notice is known only under the lock: let
        // the receive thread, which owns the connection, look, send it, and
        // reset the connection only if it cannot.
        m_resetAsked.store(true);
        if (m_wakeFd >= 0)
            ::eventfd_write(m_wakeFd, 1);
        return;
    }
    const int fd = m_socket.load(std::memory_order_acquire);
    if (fd >= 0 && !m_readyOnCurrent) {
        const McuShortMsg m = readyNotice();
        if (sendLocked(fd, &m, int(sizeof m)) == 0) {
            m_readyOnCurrent = true;
        } else {
            // Nothing may go before the notice on the next connection.
            processlog::out(processlog::Priority::Info, kNoticeReset, sizeof kNoticeReset - 1);
            mcusocket::shutdownBoth(fd);
        }
    }
    ::pthread_mutex_unlock(&m_sendMutex);
}

void MainAppProtocolComm::requestSignOfLife()
{
    m_lifeAsked.fetch_add(1, std::memory_order_acq_rel);
    if (m_wakeFd >= 0)
        ::eventfd_write(m_wakeFd, 1);
}

bool MainAppProtocolComm::signOfLifeAnswered() const
{
    return m_lifeAnswered.load(std::memory_order_acquire) == m_lifeAsked.load(std::memory_order_acquire);
}

void MainAppProtocolComm::answerSignOfLife()
{
    const unsigned long long asked = m_lifeAsked.load(std::memory_order_acquire);
    if (m_lifeAnswered.load(std::memory_order_relaxed) != asked)
        m_lifeAnswered.store(asked, std::memory_order_release);
}

void *MainAppProtocolComm::_thread(void *self)
{
    ::pthread_setname_np(::pthread_self(), "mcu-link");
    static_cast<MainAppProtocolComm *>(self)->loop();
    return nullptr;
}

int MainAppProtocolComm::openConnection(int *error)
{
    *error = 0;
    if (!m_connector)
        return mcusocket::connectTo(m_endpoint, &m_localAddr, error);

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

bool MainAppProtocolComm::checkPeer(int fd)
{
    ucred peer;
    if (!mcusocket::peerCredentials(fd, &peer))
        return false;
    return peer.uid == 0 || peer.uid == ::geteuid() || (m_serviceUid != uid_t(-1) && peer.uid == m_serviceUid);
}

bool MainAppProtocolComm::installConnection(int fd)
{
    m_framer.reset(); // a new connection is a new stream

    // Every holder of the lock lets go within a send's bounds.
    ::pthread_mutex_lock(&m_sendMutex);
    m_socket.store(fd, std::memory_order_release);
    m_readyOnCurrent = false;
    m_peerStalled = false;
    m_stalledDrops = 0;
    m_cutLogged = false;
    bool ok = true;
    if (m_appReady.load()) {
        const McuShortMsg m = readyNotice();
        ok = sendLocked(fd, &m, int(sizeof m)) == 0;
        m_readyOnCurrent = ok;
    }
    if (ok) {
        m_connections.fetch_add(1, std::memory_order_acq_rel);
    } else {
        // Nobody may send on a connection that lacks its notice.
        m_socket.store(-1, std::memory_order_release);
    }
    ::pthread_mutex_unlock(&m_sendMutex);
    return ok;
}

void MainAppProtocolComm::dropConnection(int fd)
{
    if (fd < 0)
        return;
    // Wakes a sender waiting for room, so that it lets go of the lock.
    mcusocket::shutdownBoth(fd);
    ::pthread_mutex_lock(&m_sendMutex);
    if (m_socket.load(std::memory_order_acquire) == fd)
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
    processlog::outf(processlog::Priority::Info, "=================>>>MainAppProtocolComm dropped %d pending bytes\n", dropped);
    m_dropLogged = true;
}

void MainAppProtocolComm::endGarbageStreak()
{
    if (m_suppressedResets > 0)
        processlog::outf(processlog::Priority::Info, "=================>>>MainAppProtocolComm over size repeated %u times\n",
                                       m_suppressedResets);
    if (m_suppressedDrops > 0)
        processlog::outf(processlog::Priority::Info, "=================>>>MainAppProtocolComm dropped pending bytes %u more "
                                       "times\n", m_suppressedDrops);
    m_suppressedResets = 0;
    m_suppressedDrops = 0;
    m_resetLogged = false;
    m_dropLogged = false;
}

bool MainAppProtocolComm::dispatchPending()
{
    McuFramer::Record rec;
    for (;;) {
        const McuFramer::Step step = m_framer.next(rec);
        if (step == McuFramer::Step::NeedMore)
            return true;
        if (step == McuFramer::Step::Reset) {
            // The stream has no marker to find the next record by: whatever
            // follows on this connection would be guesswork. A run of garbage
            // logs once, however many connections it takes.
            if (m_resetLogged) {
                ++m_suppressedResets;
            } else {
                processlog::outf(processlog::Priority::Info, "=================>>>MainAppProtocolComm over size: %d\n",
                                               mcu::kRecvBufferSize);
                m_resetLogged = true;
            }
            return false;
        }
        if (m_resetLogged || m_dropLogged)
            endGarbageStreak();
        if (!m_running.load())
            return true;
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
    // Ends the current connection; the next attempt waits out the back-off.
    auto endConnection = [&](bool good) {
        dropConnection(fd);
        fd = -1;
        setLinkState(LinkState::Absent);
        failing = true;
        if (good)
            backoffMs = 0;
        nextBackoff();
    };

    while (m_running.load()) {
        answerSignOfLife();
        if (fd < 0) {
            if (backoffMs > 0 && !waitForWake(backoffMs))
                break;
            m_resetAsked.store(false); // no connection to reset: the next one carries the notice
            int error = 0;
            fd = openConnection(&error);
            if (fd < 0) {
                if (!refusalReported) {
                    processlog::outf(processlog::Priority::Info, "=================>>>MainAppProtocolComm cannot connect to the MCU "
                                   "service (%s); retrying\n", std::strerror(error));
                    refusalReported = true;
                }
                setLinkState(LinkState::Absent);
                reportFirstAttempt();
                failing = true;
                nextBackoff();
                continue;
            }
            if (!checkPeer(fd)) {
                // Closed before a byte is read from it or sent to it; the same
                // impostor found again on every retry is logged once.
                ucred peer;
                mcusocket::peerCredentials(fd, &peer);
                ::close(fd);
                fd = -1;
                if (!refusedLogged || peer.pid != refusedPid) {
                    if (peer.uid == uid_t(-1))
                        processlog::outf(processlog::Priority::Info, "=================>>>MainAppProtocolComm refused the MCU service "
                                       "peer: its credentials cannot be read\n");
                    else
                        processlog::outf(processlog::Priority::Info, "=================>>>MainAppProtocolComm refused the MCU service "
                                       "peer pid %d uid %u: trusted are %s\n",
                                       int(peer.pid), unsigned(peer.uid), m_trustedUsers.c_str());
                    refusedLogged = true;
                    refusedPid = peer.pid;
                }
                // Counted and reported only once logged, like every outcome here.
                m_refusedPeers.fetch_add(1, std::memory_order_acq_rel);
                setLinkState(LinkState::Refused);
                reportFirstAttempt();
                failing = true;
                nextBackoff();
                continue;
            }
            // Logged before the connection is visible to senders and callers,
            // so the line always precedes what is done over it.
            if (failing)
                processlog::outf(processlog::Priority::Info, "=================>>>MainAppProtocolComm connected to the MCU service\n");
            if (!installConnection(fd)) {
                processlog::out(processlog::Priority::Info, kNoticeReset, sizeof kNoticeReset - 1);
                reportFirstAttempt();
                endConnection(false);
                continue;
            }
            setLinkState(LinkState::Connected);
            reportFirstAttempt();
            failing = false;
            refusalReported = false;
            refusedLogged = false;
            receivedData = false;
        }

        // Take what is waiting without blocking: under load that is the one
        // system call of a turn. Only when nothing is there does the thread
        // block, in a wait that Stop() and a reset request can end.
        const ssize_t n = mcusocket::readNow(fd, readBuf, sizeof m_scratch);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int ready = mcusocket::waitReadable(fd, m_wakeFd, m_stopFd, -1);
            if (ready & 2) {
                drainEventFd(m_wakeFd);
                bool lacksNotice = false;
                if (m_resetAsked.exchange(false)) {
                    // AppReady() found the lock busy: the notice goes out from
                    // here, and only a connection that cannot take it is reset.
                    ::pthread_mutex_lock(&m_sendMutex);
                    if (m_appReady.load() && !m_readyOnCurrent) {
                        const McuShortMsg m = readyNotice();
                        m_readyOnCurrent = sendLocked(fd, &m, int(sizeof m)) == 0;
                        lacksNotice = !m_readyOnCurrent;
                    }
                    ::pthread_mutex_unlock(&m_sendMutex);
                }
                if (lacksNotice) {
                    processlog::out(processlog::Priority::Info, kNoticeReset, sizeof kNoticeReset - 1);
                    endConnection(false);
                }
            }
            continue; // the flag is tested again before the read
        }
        if (n <= 0) {
            if (n < 0)
                processlog::outf(processlog::Priority::Info, "-main app socket read failed with error: %d\n", errno);
            else
                processlog::outf(processlog::Priority::Info, "Main App invaild datalen:%d\n", int(n));
            endGarbageStreak();
            // A connection that carried data was good: start the back-off over.
            endConnection(receivedData);
            continue;
        }

        receivedData = true;
        int dropped = 0;
        m_framer.append(readBuf, int(n), &dropped);
        if (dropped > 0)
            noteOverflow(dropped);
        if (!dispatchPending())
            endConnection(false);
    }

    reportFirstAttempt(); // Start() must not wait on a thread that never tried
    dropConnection(fd);
    setLinkState(LinkState::Absent);
}

} // namespace tamoappframework

#include "servicenotifier.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

using tamoappframework::MainAppProtocolComm;

namespace {

// The name the link gives its thread, for the log line about a stuck one.
constexpr const char *kLinkThreadName = tamoappframework::McuTransport::kThreadName;

// A system call, again for as long as a signal interrupts it.
template <typename Call>
auto unlessInterrupted(Call call) -> decltype(call())
{
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// A decimal number and nothing else; false on anything else or an overflow.
bool parseUnsigned(const char *text, uint64_t *value)
{
    if (!text || !*text)
        return false;
    uint64_t v = 0;
    for (const char *c = text; *c; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        const uint64_t digit = uint64_t(*c - '0');
        if (v > (UINT64_MAX - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

// The watchdog period the manager asked of this process, in microseconds:
// WATCHDOG_USEC, when WATCHDOG_PID is unset or names this process. 0: none.
uint64_t watchdogPeriodUs()
{
    uint64_t usec = 0;
    if (!parseUnsigned(std::getenv("WATCHDOG_USEC"), &usec))
        return 0;
    if (const char *pidText = std::getenv("WATCHDOG_PID")) {
        uint64_t pid = 0;
        if (!parseUnsigned(pidText, &pid) || pid != uint64_t(::getpid()))
            return 0;
    }
    return usec;
}

} // namespace

ServiceNotifier::ServiceNotifier(QObject *parent) : QObject(parent)
{
    const char *socket = std::getenv("NOTIFY_SOCKET");
    if (!socket || !*socket)
        return;
    if (!setAddress(socket)) {
        qWarning("ServiceNotifier: failed to notify the service manager: NOTIFY_SOCKET \"%s\" is "
                 "neither a socket path nor an abstract name (@...) that fits; no readiness, "
                 "watchdog or status",
                 socket);
        return;
    }
    m_active = true;

    if (const uint64_t watchdogUs = watchdogPeriodUs()) {
        const uint64_t intervalMs = std::max<uint64_t>(1, watchdogUs / 2000);
        m_watchdog.setTimerType(Qt::PreciseTimer);
        m_watchdog.setInterval(int(std::min<uint64_t>(intervalMs, 24ULL * 3600 * 1000)));
        connect(&m_watchdog, &QTimer::timeout, this, &ServiceNotifier::watchdogTick);
        m_watchdog.start();
    }
    m_readyRetry.setSingleShot(true);
    m_readyRetry.setInterval(kReadyRetryMs);
    connect(&m_readyRetry, &QTimer::timeout, this, &ServiceNotifier::sendReady);
    m_statusTimer.setSingleShot(true);
    connect(&m_statusTimer, &QTimer::timeout, this, &ServiceNotifier::sendStatus);
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, [this] {
            m_watchdog.stop();
            m_readyRetry.stop();
            m_statusTimer.stop();
            notify("STOPPING=1");
            m_stopping = true;
        });
}

ServiceNotifier::~ServiceNotifier()
{
    unwatchLink();
    if (m_fd >= 0)
        ::close(m_fd);
}

// A path ("/run/...") or an abstract name ("@..."), as the manager hands it.
bool ServiceNotifier::setAddress(const char *name)
{
    const size_t length = std::strlen(name);
    m_address.sun_family = AF_UNIX;
    if (name[0] == '/' && length < sizeof m_address.sun_path) {
        std::memcpy(m_address.sun_path, name, length + 1);
        m_addressLength = socklen_t(offsetof(sockaddr_un, sun_path) + length + 1);
    } else if (name[0] == '@' && length >= 2 && length <= sizeof m_address.sun_path) {
        m_address.sun_path[0] = '\0';
        std::memcpy(m_address.sun_path + 1, name + 1, length - 1);
        m_addressLength = socklen_t(offsetof(sockaddr_un, sun_path) + length);
    } else {
        return false;
    }
    m_socketName = name;
    return true;
}

void ServiceNotifier::firstFrameOnScreen(double msSinceStart)
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (!m_active || m_ready)
        return;
    m_ready = true;
    sendReady();
    m_firstFrameMs = msSinceStart;
    m_firstFrameStatus = true;
    sendStatus();
}

// Until it finds room: a manager that never hears it ends the unit when its
// start times out. A socket that fails otherwise is logged, not tried again.
void ServiceNotifier::sendReady()
{
    if (!m_stopping && notify("READY=1") == Sent::NoRoom)
        m_readyRetry.start();
}

void ServiceNotifier::watchLink(MainAppProtocolComm *link)
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (!m_active || !link || m_link)
        return;
    m_link = link;
    m_sinceAsked.invalidate();
    m_linkStuck = false;
    link->addStateListener(&ServiceNotifier::onLinkState, this);
}

void ServiceNotifier::unwatchLink()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_link) {
        m_link->removeStateListener(&ServiceNotifier::onLinkState, this);
        m_link = nullptr;
    }
}

// Main thread, every half watchdog period: the tick itself shows the main loop
// turns; the link's thread shows it by answering the ask of the tick before.
void ServiceNotifier::watchdogTick()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_link && !linkAnswered())
        return;
    notify("WATCHDOG=1");
    if (m_link) {
        m_link->requestSignOfLife();
        m_sinceAsked.start();
    }
}

// Whether the link's thread answered the outstanding ask (none yet: it has
// had no time to). Says once when the link's thread stops answering, and once
// when it answers again.
bool ServiceNotifier::linkAnswered()
{
    if (!m_sinceAsked.isValid())
        return true;
    const bool answered = m_link->signOfLifeAnswered();
    if (answered != m_linkStuck) // as at the tick before
        return answered;
    m_linkStuck = !answered;
    const qint64 waitedMs = m_sinceAsked.elapsed();
    if (m_linkStuck) {
        const QString since =
            QDateTime::currentDateTime().addMSecs(-waitedMs).toString(QStringLiteral("hh:mm:ss.zzz"));
        qWarning("ServiceNotifier: the MCU link thread (%s) has not answered since %s (%lld ms); "
                 "watchdog pings withheld",
                 kLinkThreadName, qPrintable(since), static_cast<long long>(waitedMs));
    } else {
        qWarning("ServiceNotifier: the MCU link thread (%s) answers again, after %lld ms; "
                 "watchdog pings resume",
                 kLinkThreadName, static_cast<long long>(waitedMs));
    }
    return answered;
}

// Any thread (the receive thread, or the caller of addStateListener): keeps
// the newest state and posts one look at it to the main thread.
void ServiceNotifier::onLinkState(void *self, MainAppProtocolComm::LinkState state)
{
    auto *notifier = static_cast<ServiceNotifier *>(self);
    notifier->m_linkState.store(int(state));
    if (!notifier->m_statusPosted.exchange(true))
        QMetaObject::invokeMethod(notifier, "sendStatus", Qt::QueuedConnection);
}

// Main thread: the first frame's time (once, with the link's state) or the
// link's newest state goes out, unless the last try was less than
// kStatusIntervalMs ago; then the end of that interval sends it (a state that
// came and went meanwhile is never sent). One that does not go is tried again
// at the end of the next interval, with the state current then.
void ServiceNotifier::sendStatus()
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_statusPosted.store(false);
    const int state = m_linkState.load();
    if (m_stopping || ((state < 0 || state == m_sentState) && !m_firstFrameStatus))
        return;
    const qint64 since = m_sinceStatus.isValid() ? m_sinceStatus.elapsed() : kStatusIntervalMs;
    if (since < kStatusIntervalMs) {
        if (!m_statusTimer.isActive())
            m_statusTimer.start(int(kStatusIntervalMs - since));
        return;
    }
    m_sinceStatus.start();
    // The first frame's time goes with the link's state as last told, and
    // stays until the link's state next changes; a change that came
    // meanwhile goes in the next interval, in its own words.
    char text[160];
    const int shown = m_firstFrameStatus ? m_sentState : state;
    const char *linkText = shown < 0 ? "" : mcuLinkStateText(MainAppProtocolComm::LinkState(shown));
    if (!m_firstFrameStatus)
        std::snprintf(text, sizeof text, "STATUS=%s", linkText);
    else if (m_firstFrameMs < 0)
        std::snprintf(text, sizeof text, "STATUS=First frame on screen%s%s", *linkText ? "; " : "", linkText);
    else
        std::snprintf(text, sizeof text, "STATUS=First frame on screen %.0f ms after start%s%s", m_firstFrameMs,
                      *linkText ? "; " : "", linkText);
    if (notify(text) != Sent::Yes) {
        m_statusTimer.start(kStatusIntervalMs);
        return;
    }
    m_sentState = shown;
    if (m_firstFrameStatus) {
        m_firstFrameStatus = false;
        if (state >= 0 && state != m_sentState)
            m_statusTimer.start(kStatusIntervalMs);
    }
}

// One datagram, never waiting for room. The socket is made on the first call.
ServiceNotifier::Sent ServiceNotifier::notify(const char *message)
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (!m_active || m_stopping)
        return Sent::Failed;
    const char *call = "socket";
    if (m_fd < 0)
        m_fd = unlessInterrupted([] { return ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
    if (m_fd >= 0) {
        iovec part{const_cast<char *>(message), std::strlen(message)};
        msghdr header{};
        header.msg_name = &m_address;
        header.msg_namelen = m_addressLength;
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        const ssize_t sent =
            unlessInterrupted([&] { return ::sendmsg(m_fd, &header, MSG_DONTWAIT | MSG_NOSIGNAL); });
        if (sent >= 0)
            return Sent::Yes;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return Sent::NoRoom;
        call = "sendmsg";
    }
    const int error = errno;
    if (error != m_loggedErrno) {
        m_loggedErrno = error;
        const char *end = std::strchr(message, '=');
        qWarning("ServiceNotifier: failed to notify the service manager at %s (%.*s): %s: %s; "
                 "not logged again for this reason",
                 m_socketName.c_str(), int(end ? end - message : 0), message, call, std::strerror(error));
    }
    return Sent::Failed;
}

#include "servicenotifier.h"

#include "firstframemonitor.h"

#include <QCoreApplication>
#include <QDebug>

#include <cstdlib>

#ifdef LAUNCHER_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

using tamoappframework::MainAppProtocolComm;

ServiceNotifier::ServiceNotifier(QObject *parent) : QObject(parent)
{
    const char *socket = std::getenv("NOTIFY_SOCKET");
    if (!socket || !*socket)
        return;
#ifdef LAUNCHER_HAVE_SYSTEMD
    m_active = true;

    uint64_t watchdogUs = 0;
    if (sd_watchdog_enabled(0, &watchdogUs) > 0 && watchdogUs > 0) {
        const qint64 intervalMs = std::max<qint64>(1, qint64(watchdogUs / 2000));
        m_watchdog.setTimerType(Qt::PreciseTimer);
        m_watchdog.setInterval(int(std::min<qint64>(intervalMs, 24LL * 3600 * 1000)));
        connect(&m_watchdog, &QTimer::timeout, this, [this] { notify("WATCHDOG=1"); });
        m_watchdog.start();
    }
    m_statusTimer.setSingleShot(true);
    connect(&m_statusTimer, &QTimer::timeout, this, &ServiceNotifier::sendStatus);
    if (QCoreApplication *app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, [this] {
            m_watchdog.stop();
            notify("STOPPING=1");
        });
#else
    qWarning("NOTIFY_SOCKET is set, but this launcher was built without service-manager support: "
             "no readiness, watchdog or status");
#endif
}

ServiceNotifier::~ServiceNotifier()
{
    unwatchLink();
    if (m_monitor)
        FirstFrameMonitor::releaseInstance();
}

void ServiceNotifier::watchFirstFrame()
{
    if (!m_active || m_monitor || m_ready)
        return;
    m_monitor = FirstFrameMonitor::getInstance();
    if (m_monitor)
        connect(m_monitor, &FirstFrameMonitor::procFlushDone, this, &ServiceNotifier::firstFrameFlushed);
}

void ServiceNotifier::firstFrameFlushed()
{
    if (m_ready)
        return;
    m_ready = true;
    notify("READY=1");
    // Given back from the event loop, not from inside the monitor's own signal.
    disconnect(m_monitor, nullptr, this, nullptr);
    QTimer::singleShot(0, this, [this] {
        if (m_monitor) {
            m_monitor = nullptr;
            FirstFrameMonitor::releaseInstance();
        }
    });
}

void ServiceNotifier::watchLink(MainAppProtocolComm *link)
{
    if (!m_active || !link || m_link)
        return;
    m_link = link;
    link->addStateListener(&ServiceNotifier::onLinkState, this);
}

void ServiceNotifier::unwatchLink()
{
    if (m_link) {
        m_link->removeStateListener(&ServiceNotifier::onLinkState, this);
        m_link = nullptr;
    }
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

const char *ServiceNotifier::statusText(MainAppProtocolComm::LinkState state)
{
    switch (state) {
    case MainAppProtocolComm::LinkState::Connected:
        return "STATUS=MCU service connected";
    case MainAppProtocolComm::LinkState::Refused:
        return "STATUS=MCU peer refused, retrying";
    case MainAppProtocolComm::LinkState::Absent:
        break;
    }
    return "STATUS=MCU service absent, retrying";
}

// Main thread: the newest state goes out, unless the last one went out less
// than kStatusIntervalMs ago; then the end of that interval sends it (a state
// that came and went meanwhile is never sent).
void ServiceNotifier::sendStatus()
{
    m_statusPosted.store(false);
    const int state = m_linkState.load();
    if (state < 0 || state == m_sentState)
        return;
    const qint64 since = m_sinceStatus.isValid() ? m_sinceStatus.elapsed() : kStatusIntervalMs;
    if (since < kStatusIntervalMs) {
        if (!m_statusTimer.isActive())
            m_statusTimer.start(int(kStatusIntervalMs - since));
        return;
    }
    m_sinceStatus.start();
    m_sentState = state;
    notify(statusText(MainAppProtocolComm::LinkState(state)));
}

void ServiceNotifier::notify(const char *message)
{
#ifdef LAUNCHER_HAVE_SYSTEMD
    if (m_active)
        sd_notify(0, message);
#else
    Q_UNUSED(message);
#endif
}

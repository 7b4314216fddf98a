#ifndef SERVICENOTIFIER_H
#define SERVICENOTIFIER_H

#include "mainappprotocolcomm.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <atomic>

class FirstFrameMonitor;

// Tells the service manager how the launcher is doing, over the notify socket
// it names in NOTIFY_SOCKET (sd_notify):
//   READY=1     once the first frame has been flushed to the screen;
//   WATCHDOG=1  from a timer on the main thread, every half of WATCHDOG_USEC,
//               when the manager asked for a watchdog: a main thread stuck for
//               longer than that gets the unit restarted;
//   STATUS=     the MCU link in a few words, when it changes, at most every
//               kStatusIntervalMs;
//   STOPPING=1  when the event loop is asked to end.
// Without NOTIFY_SOCKET (or in a build without libsystemd) it does nothing at
// all: it asks nothing of the components and starts no timer.
//
// Main thread only, except the link's state listener, which only posts.
class ServiceNotifier : public QObject
{
    Q_OBJECT
public:
    static constexpr int kStatusIntervalMs = 250;

    explicit ServiceNotifier(QObject *parent = nullptr);
    ~ServiceNotifier() override;

    // READY=1 at the first-frame monitor's procFlushDone(). Call after the
    // staging has armed the monitor (MainStart::start()): the first frame can
    // only be flushed once the event loop runs, so nothing is missed.
    void watchFirstFrame();
    // STATUS= from the link's state, until unwatchLink() (before the link stops).
    void watchLink(tamoappframework::MainAppProtocolComm *link);
    void unwatchLink();

private:
    static const char *statusText(tamoappframework::MainAppProtocolComm::LinkState state);
    static void onLinkState(void *self, tamoappframework::MainAppProtocolComm::LinkState state);
    void firstFrameFlushed();
    // Invoked by name from the link's thread: the event that carries the call
    // is then made and handed over inside Qt, under its posted-event lock.
    Q_INVOKABLE void sendStatus();
    void notify(const char *message);

    bool m_active = false;
    bool m_ready = false;
    FirstFrameMonitor *m_monitor = nullptr;
    QTimer m_watchdog;
    QTimer m_statusTimer;          // single shot: the end of the current status interval
    QElapsedTimer m_sinceStatus;   // since the last STATUS= went out; invalid before the first
    int m_sentState = -1;          // the state it carried
    tamoappframework::MainAppProtocolComm *m_link = nullptr;
    std::atomic<int> m_linkState{-1};
    std::atomic<bool> m_statusPosted{false};
};

#endif // SERVICENOTIFIER_H

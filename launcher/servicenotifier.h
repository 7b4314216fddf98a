#ifndef SERVICENOTIFIER_H
#define SERVICENOTIFIER_H

#include "mainappprotocolcomm.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>

// Tells the service manager how the launcher is doing, one datagram per
// message on the notify socket it names in NOTIFY_SOCKET (a path, or an
// abstract name after '@'):
//   READY=1     once the first frame has been flushed to the screen;
//   STATUS=     then how long the first frame took, with the MCU link's
//               state, until a change of the link's state replaces it;
//   WATCHDOG=1  from a timer on the main thread, every half of WATCHDOG_USEC
//               (when WATCHDOG_PID is unset or names this process), only when
//               the main loop turns and the MCU link's thread has answered the
//               previous sign-of-life ask: a main thread or link thread stuck
//               for longer than WATCHDOG_USEC gets the unit restarted;
//   STATUS=     the MCU link in a few words, when it changes; no STATUS= goes
//               sooner than kStatusIntervalMs after the one before;
//   STOPPING=1  when the event loop is asked to end; nothing goes after it.
// No send ever waits: a manager that reads its socket slowly (the kernel
// queues only a few datagrams per receiver) costs messages, never the main
// thread. What finds no room: READY=1 is tried again every kReadyRetryMs until
// it goes; a STATUS= is tried again at the end of the next status interval
// with the state then current; WATCHDOG=1 waits for the next tick; STOPPING=1
// is not tried again. Other failures are logged once per reason.
// Without NOTIFY_SOCKET it does nothing at all: it asks nothing of the
// components, opens no socket and starts no timer.
//
// Threads: made, used and destroyed on the main thread; only the link's state
// listener (onLinkState) runs on other threads, and it only posts.
class ServiceNotifier : public QObject
{
    Q_OBJECT
public:
    static constexpr int kStatusIntervalMs = 250;
    static constexpr int kReadyRetryMs = 50;

    explicit ServiceNotifier(QObject *parent = nullptr);
    ~ServiceNotifier() override;

    // READY=1 and the first frame's time (ms since the process began; < 0:
    // unknown) in STATUS=; once (StartupReport::firstFrameOnScreen()).
    void firstFrameOnScreen(double msSinceStart);
    // STATUS= from the link's state, and WATCHDOG=1 only while the link's
    // thread answers, until unwatchLink() (before the link stops).
    void watchLink(tamoappframework::MainAppProtocolComm *link);
    void unwatchLink();

private:
    enum class Sent { Yes, NoRoom, Failed };
    static void onLinkState(void *self, tamoappframework::MainAppProtocolComm::LinkState state);
    bool setAddress(const char *name);
    void sendReady();
    void watchdogTick();
    bool linkAnswered();
    // Invoked by name from the link's thread: the event that carries the call
    // is then made and handed over inside Qt, under its posted-event lock.
    Q_INVOKABLE void sendStatus();
    Sent notify(const char *message);

    bool m_active = false;
    bool m_ready = false;
    bool m_stopping = false;       // STOPPING=1 went (or was tried): nothing more goes
    double m_firstFrameMs = -1;    // the first frame's time while STATUS= has not carried it
    bool m_firstFrameStatus = false; // a STATUS= with the first frame's time is due
    QTimer m_watchdog;
    QTimer m_readyRetry;           // single shot: READY=1 found no room
    QTimer m_statusTimer;          // single shot: the end of the current status interval
    QElapsedTimer m_sinceStatus;   // since the last STATUS= was tried; invalid before the first
    int m_sentState = -1;          // the state the last STATUS= that went carried
    tamoappframework::MainAppProtocolComm *m_link = nullptr;
    QElapsedTimer m_sinceAsked;    // the link's outstanding sign-of-life ask; invalid: none
    bool m_linkStuck = false;      // the last tick found the ask unanswered (and said so)
    std::atomic<int> m_linkState{-1};
    std::atomic<bool> m_statusPosted{false};

    // The notify socket: opened on the first message, kept until the end.
    std::string m_socketName;
    sockaddr_un m_address{};
    socklen_t m_addressLength = 0;
    int m_fd = -1;
    int m_loggedErrno = 0;         // the last failure's reason that was logged
};

#endif // SERVICENOTIFIER_H

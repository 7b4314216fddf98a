#ifndef MCUTRANSPORT_H
#define MCUTRANSPORT_H

#include "linkstate.h"
#include "mcuframer.h"
#include "mcuoutqueue.h"
#include "mcurecords.h"
#include "mcusocket.h"
#include "peertrust.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include <pthread.h>
#include <sys/un.h>

namespace tamoappframework {

// The one owner of the MCU socket: it connects (checking the peer and backing
// off between attempts), reads and frames the stream, and writes what the
// senders hand it, all on the link's thread ("mcu-link"). Every limit is in
// linklimits.h.
//
// Sending never waits for the socket. A record is handed to the socket at
// once when nothing is queued and the socket has room; whatever the socket
// does not take waits, whole and in order, in a bounded queue that the link's
// thread writes out as the socket makes room, going on from the first byte it
// did not take. A record that does not fit is dropped (-1). A service that
// takes nothing for kPeerSilence while bytes wait, or a write that fails, ends
// the connection; the next one starts with the ready notice once
// announceReady() was called.
//
// Threads: setters, start() and stop() on the thread that owns the link (the
// main thread); send(), announceReady() and the sign-of-life ask from any
// thread; the record sink and the state listeners on the link's thread.
class McuTransport
{
public:
    // The link's thread, as the system names it.
    static constexpr char kThreadName[] = "mcu-link";

    // Gets every whole framed record (16 bytes for kind 1, 268 for the others), on the link's thread.
    using RecordSink = void (*)(void *context, unsigned char *record, int size);

    McuTransport();
    ~McuTransport();
    McuTransport(const McuTransport &) = delete;
    McuTransport &operator=(const McuTransport &) = delete;

    // --- Set-up for tests and tools; call before start(). ---
    void setEndpoint(const McuEndpoint &endpoint);
    // Replaces how a connection is made: the function returns a connected
    // descriptor (owned by the transport from then on) or -1. Called on the
    // link's thread; its peer is checked like any other.
    void setConnector(std::function<int()> connector);
    // Sees every framed record just before the sink gets it.
    using RecordTap = void (*)(void *context, const unsigned char *record, int size);
    void setRecordTap(RecordTap tap, void *context);
    // Sees every whole record of the link with its direction (true: sent to
    // the service) and the connection's number: received ones on the link's
    // thread before the tap, sent ones on the sender's thread as the socket
    // or the queue takes them, under the send lock (so in the socket's order;
    // one whose write fails, which ends the connection, is seen too).
    // It must not wait for anything.
    using CaptureHook = void (*)(void *context, bool sent, unsigned connection, const unsigned char *record,
                                 int size);
    void setCaptureHook(CaptureHook hook, void *context);
    // The MCU service's user, trusted besides root and this process's user ("" for none).
    void setServiceUser(const std::string &name);

    // Starts the link's thread and returns once it has tried to connect
    // (kFirstAttemptWait at most). False when it cannot start.
    bool start(RecordSink sink, void *context);
    // Ends the link's thread (any wait of it ends at once) and closes the
    // socket. From the link's own thread it only asks; the next stop() joins.
    void stop();

    // One whole record (or any byte block up to the queue's size) for the
    // service: 0 when it was taken (written, or queued whole), also for
    // len <= 0; -1 when there is no connection, the send lock was not had in
    // kSendLockWait, or the queue has no room for it.
    int send(const void *data, int len);
    // From now on `notice` is the first record of every connection, exactly
    // once; the current connection gets it now, or is made anew when it has
    // no room for it.
    void announceReady(const McuShortMsg &notice);

    LinkStateBoard &states() { return m_states; }
    const LinkStateBoard &states() const { return m_states; }

    // Sign of life for the watchdog: the link's thread answers at its next
    // turn; a thread stuck in a handler, or not running, never answers.
    void requestSignOfLife();
    bool signOfLifeAnswered() const;

    bool isConnected() const { return m_fd.load(std::memory_order_acquire) >= 0; }
    // Connections made (and trusted) since start().
    unsigned connectionCount() const { return m_connections.load(std::memory_order_acquire); }
    // Connections closed since start() because their peer was not trusted.
    unsigned refusedPeerCount() const { return m_refusedPeers.load(std::memory_order_acquire); }

private:
    using Clock = std::chrono::steady_clock;
    // What the link's own lines begin with.
    static constexpr char kTag[] = "=================>>>MainAppProtocolComm ";

    static void *threadEntry(void *self);
    void loop();
    bool onLinkThread() const;

    // Link's thread: making and ending connections.
    int connectOnce();
    int openSocket(int *error);
    bool installConnection(int fd);
    void endConnection();
    void growBackoff();
    void reportFirstAttempt();
    bool waitOutBackoff();
    void answerSignOfLife();

    // Link's thread: reading.
    int readTurn();
    bool dispatchPending();
    void noteOverflow(int dropped);
    void endGarbageStreak();

    // Link's thread: what senders left for it.
    void serviceWake();
    bool drainQueue();
    int runTimers(); // ms until the next timer is due, -1 for none
    void endStormStreak();
    void closeEarlyStreak();
    bool quiet() const { return m_earlyEnds > 0; }

    // Under m_sendMutex.
    int sendLocked(int fd, const void *data, size_t len);
    bool takeQueued(int fd); // hands the queue to the socket without waiting; false: the write failed
    void noteDropLocked();
    void wakeLinkThread();

    // Configuration.
    McuEndpoint m_endpoint;
    std::function<int()> m_connector;
    CaptureHook m_capture = nullptr;
    void *m_captureContext = nullptr;
    RecordTap m_tap = nullptr;
    void *m_tapContext = nullptr;
    std::string m_serviceUser;
    RecordSink m_sink = nullptr;
    void *m_sinkContext = nullptr;

    // The thread.
    pthread_t m_thread{};
    std::atomic<pthread_t> m_linkThread{};        // as the thread itself knows it...
    std::atomic<bool> m_linkThreadRunning{false}; // ...while it runs its loop
    bool m_threadStarted = false;
    std::atomic<bool> m_running{false};
    int m_stopFd = -1; // eventfd, readable from stop() until the next start()
    int m_wakeFd = -1; // eventfd: senders, announceReady() and the sign-of-life ask
    std::mutex m_startMutex;
    std::condition_variable m_startCv;
    bool m_firstAttemptDone = false;

    LinkStateBoard m_states;
    PeerTrust m_trust;
    std::atomic<unsigned> m_connections{0};
    std::atomic<unsigned> m_refusedPeers{0};
    std::atomic<unsigned long long> m_lifeAsked{0};
    std::atomic<unsigned long long> m_lifeAnswered{0};
    std::atomic<bool> m_appReady{false};

    // Guarded by m_sendMutex: the current connection as senders see it. The
    // descriptor is published and withdrawn under it, and closed only after.
    pthread_mutex_t m_sendMutex = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<int> m_fd{-1};
    McuOutQueue m_queue;
    McuShortMsg m_notice{};
    bool m_noticeOnCurrent = false;
    unsigned m_connectionNo = 0;       // the capture's number of the current connection
    bool m_noticeFailed = false;       // it had no room: the link's thread makes the connection anew
    std::atomic<bool> m_queueWaiting{false}; // bytes wait in m_queue (read by the link's thread unlocked)
    int m_writeError = 0;              // a write failed with this: the link's thread ends the connection
    Clock::time_point m_lastTaken{};   // the service last took bytes (or the queue began to wait)
    long m_lastUnread = -1;            // its unread bytes when the link last looked
    bool m_dropping = false;           // records are being dropped for want of room...
    unsigned long long m_streakDrops = 0; // ...this many so far
    Clock::time_point m_drainedAt{};   // ...and the queue emptied then (epoch: not since the last drop)
    unsigned long long m_recordsOut = 0;  // since the last summary
    unsigned long long m_recordsDropped = 0;

    // Link's thread only.
    int m_socket = -1;
    McuFramer m_framer;
    tag_MCUSRV_TO_MAIN_APP_T m_scratch{};
    Clock::time_point m_connectedAt{};
    bool m_gotRecord = false;          // the current connection carried a whole valid record
    std::chrono::milliseconds m_backoff{0};
    bool m_absentLogged = false;
    bool m_refusedLogged = false;
    pid_t m_refusedPid = 0;
    unsigned m_earlyEnds = 0;          // connections in this failing streak that ended early
    bool m_achieved = false;           // the current connection lived long enough with a record
    unsigned m_suppressedResets = 0;
    unsigned m_suppressedDrops = 0;
    bool m_resetLogged = false;
    bool m_dropLogged = false;
    unsigned long long m_recordsIn = 0;
    Clock::time_point m_nextSummary{};
};

} // namespace tamoappframework

#endif // MCUTRANSPORT_H

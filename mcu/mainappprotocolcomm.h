#ifndef MAINAPPPROTOCOLCOMM_H
#define MAINAPPPROTOCOLCOMM_H

#include "mcurecords.h"
#include "mcuframer.h"
#include "mcusocket.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace tamoappframework {

// The launcher's single link to the MCU service: one Unix-domain stream socket,
// a receive thread that reassembles records and dispatches each one, and one
// send path shared by every thread that sends.
//
// Threads: Start/Stop/GetInstance on the main thread; the receive thread runs
// loop(), resolvePacket() and its handlers; any thread may call SendData and
// the senders.
//
// No wait is unbounded: a record waits at most 50 ms for the send lock and
// then at most kSendRoomWaitMs for room on the socket. A peer that stops
// reading costs records (SendData gives -1; once it has let one wait that
// long, later records are dropped at once until it reads again), never a
// stuck thread; a record cut short resets the connection, so the stream is
// never continued with a different record.
class MainAppProtocolComm
{
public:
    // The instance, created on first use (no lock: the first call is made on the
    // main thread before the receive thread exists).
    static MainAppProtocolComm *GetInstance();
    // Stops and frees the instance; a later GetInstance() creates a fresh one.
    static void DeleteInstance();

    virtual ~MainAppProtocolComm();

    // How long a record may wait for room on the socket once it has the send lock.
    static constexpr int kSendRoomWaitMs = 250;

    // Opens the link and starts the receive thread. Reports nothing: when the
    // service is not there yet, the thread keeps trying with a bounded back-off.
    // A connection whose stream turns out corrupt (a length word of 0 to 11 or
    // above 2048) dispatches nothing more and is made anew, like a lost one.
    // Every connection's peer must run as root, as this process's effective
    // user or as the MCU service's user (the build's LAUNCHER_MCU_SERVICE_USER,
    // looked up here; an unknown name is logged and trusts nobody more), going
    // by SO_PEERCRED: any other is closed unread and unwritten, logged once per
    // peer process with the users that would have been trusted, and the link
    // retries as if the service were absent.
    void Start();
    // Ends the receive thread (waking a blocked read, a back-off wait or a
    // write waiting for room, on any thread) and closes the socket. Returns
    // once the thread has ended.
    void Stop();

    // Writes one whole record (or any byte block) under the send lock.
    // 0: all written (also for len <= 0); -1: no connection, the send lock not
    // had within 50 ms, no room on the socket in time (nothing was written),
    // or the write failed.
    int SendData(void *data, int len);

    // Outgoing commands. Each builds its record in the call's own storage.
    // AppReady: from now on every connection carries the ready notice as its
    // first record, exactly once; when the notice cannot go out on the current
    // connection within the limits above, that connection is made anew.
    void AppReady();
    void EjectDisc();
    void SendHeartbeattoMCU();
    void SendCurSrcToMcu(int id, int a);
    void SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_TYPE cmd, unsigned char v);
    void SendDataToMcu(unsigned int msg, unsigned int p1, unsigned int p2);
    void SendKeyColorToMcu(unsigned int a, unsigned int b, unsigned int c);
    void SendTimeClockToMcu(unsigned char cmd, unsigned int t);
    void SendMediaPlayInfoToMcu(unsigned char *src, int len);
    void SendLongDataToMcu(unsigned int id, unsigned char *src, int len);
    void SendLongDataToCAN(unsigned int id, unsigned char *src, int len);

    // Routes one whole framed record (16 bytes for kind 1, 268 for the others).
    // Called by the receive loop on the receive thread; public so that the
    // dispatcher can be driven without a socket.
    void resolvePacket(unsigned char *record);

    // --- Set-up for tests and tools; call before Start(). ---
    void setEndpoint(const McuEndpoint &endpoint);
    // Replaces how a connection is made: the function returns a connected
    // descriptor (owned by the link from then on) or -1. Called on the receive thread.
    // Its peer is checked like any other: see Start().
    void setConnector(std::function<int()> connector);

    // Sees every framed record on the receive thread, just before resolvePacket
    // gets it (16 bytes for kind 1, 268 for the others). For tests and tools.
    using RecordTap = void (*)(void *context, const unsigned char *record, int size);
    void setRecordTap(RecordTap tap, void *context);

    // Replaces the build's MCU service user ("" trusts nobody besides root and
    // this process's user). For tests and tools; call before Start().
    void setServiceUser(const std::string &name);

    // The link as the service manager and the home screen show it.
    enum class LinkState : int {
        Absent,    // no connection: none made yet, the service is not there, or it ended; retrying
        Connected, // a trusted MCU service is connected
        Refused,   // the last peer found was not trusted; retrying
    };
    LinkState linkState() const;
    // Listeners hear every change of linkState(): once at once, on the calling
    // thread, with the current state, then on the receive thread. They are
    // called under the link's listener lock, so they must be quick and must
    // not add or remove listeners (post the state to your own thread). At most
    // kMaxStateListeners; false when there is no room.
    using StateListener = void (*)(void *context, LinkState state);
    static constexpr int kMaxStateListeners = 4;
    bool addStateListener(StateListener listener, void *context);
    // Once this returns the listener is not running and is not called again.
    void removeStateListener(StateListener listener, void *context);

    // Sign of life for the watchdog: any thread asks, the link's thread
    // ("mcu-link") answers at its next turn, at once when it is waiting. A
    // thread stuck in a handler, or not running, never answers.
    void requestSignOfLife();
    // True when every ask so far has been answered.
    bool signOfLifeAnswered() const;

    bool isConnected() const;
    // Connections made since Start() (each sends the ready notice once AppReady() was called).
    unsigned connectionCount() const;
    // Connections closed since Start() because their peer was not trusted.
    unsigned refusedPeerCount() const;

private:
    MainAppProtocolComm();
    MainAppProtocolComm(const MainAppProtocolComm &) = delete;
    MainAppProtocolComm &operator=(const MainAppProtocolComm &) = delete;

    static void *_thread(void *self);
    void loop();

    // Transport: the receive thread alone opens and closes connections; the
    // descriptor is published and withdrawn under m_sendMutex.
    int openConnection(int *error);
    bool checkPeer(int fd);
    void resolveTrustedUsers();
    void setLinkState(LinkState state);
    bool installConnection(int fd);
    void dropConnection(int fd);
    bool dispatchPending(); // false: the stream is corrupt, the connection must go
    bool waitForWake(int timeoutMs); // false once Stop() was asked for
    void reportFirstAttempt();
    void answerSignOfLife();
    // One whole write with the send lock held; see kSendRoomWaitMs.
    int sendLocked(int fd, const void *data, int len);
    // Log lines of a run of unframeable input: the first of each sort, then a count.
    void noteOverflow(int dropped);
    void endGarbageStreak();

    // Message handlers run by resolvePacket on the receive thread.
    void handleShortMsg(const McuShortMsg &msg);
    void handleLongMsg(const tag_MCUSRV_TO_MAIN_APP_T &rec);
    void handleMcuTime(const tag_MCUSRV_TO_MAIN_APP_T &rec);
    void handleRdsTime(const tag_MCUSRV_TO_MAIN_APP_T &rec);
    void handleMcuVersion(const tag_MCUSRV_TO_MAIN_APP_T &rec);
    void handleUuid(const tag_MCUSRV_TO_MAIN_APP_T &rec);
    void handleMcuType(const McuShortMsg &msg);
    void handleVersionQuery();

    pthread_t m_thread{};
    std::atomic<int> m_running{0};
    std::atomic<int> m_socket{-1};
    sockaddr_un m_localAddr{};
    McuFramer m_framer;                 // McuRecvBuffer and m_pending live here
    tag_MCUSRV_TO_MAIN_APP_T m_scratch{}; // the receive thread's one read
    pthread_mutex_t m_sendMutex = PTHREAD_MUTEX_INITIALIZER;

    McuEndpoint m_endpoint;
    std::function<int()> m_connector;
    std::atomic<bool> m_appReady{false};
    std::atomic<unsigned> m_connections{0};
    std::atomic<unsigned> m_refusedPeers{0};
    bool m_threadStarted = false;
    std::string m_serviceUser;          // name of the MCU service's user, "" for none
    uid_t m_serviceUid = uid_t(-1);     // ...resolved by Start(); -1: none or unknown
    std::string m_trustedUsers;         // "root (uid 0), ..." for the refusal line

    std::mutex m_stateMutex;            // guards m_listeners and the listeners' calls
    struct Listener {
        StateListener fn = nullptr;
        void *context = nullptr;
    };
    Listener m_listeners[kMaxStateListeners];
    std::atomic<LinkState> m_linkState{LinkState::Absent};
    int m_stopFd = -1;                  // eventfd, readable from Stop() until the next Start()
    int m_wakeFd = -1;                  // eventfd: asks the receive thread to look at m_resetAsked

    // Under m_sendMutex: the current connection's state as senders see it.
    bool m_readyOnCurrent = false;      // the ready notice went out on it
    bool m_peerStalled = false;         // a record waited kSendRoomWaitMs for room in vain
    long m_stalledUnread = 0;           // ...and the peer had this many bytes unread since
    unsigned long long m_stalledDrops = 0;
    bool m_cutLogged = false;           // a reset for a record cut short was logged in this streak
    std::atomic<bool> m_resetAsked{false}; // AppReady() found the lock busy: the receive thread sends the notice

    std::atomic<unsigned long long> m_lifeAsked{0};
    std::atomic<unsigned long long> m_lifeAnswered{0};

    RecordTap m_tap = nullptr;
    void *m_tapContext = nullptr;
    // Receive thread only: the current run of corrupt headers and overflows.
    unsigned m_suppressedResets = 0;    // corrupt headers after the first one logged (each
                                        // ends its connection, so a streak spans reconnections)
    unsigned m_suppressedDrops = 0;     // overflows after the first one logged
    bool m_resetLogged = false;
    bool m_dropLogged = false;

    // Start() returns once the receive thread has made its first connection attempt.
    std::mutex m_startMutex;
    std::condition_variable m_startCv;
    bool m_firstAttemptDone = false;

    static MainAppProtocolComm *m_s_MainAppProtocolComm;
};

} // namespace tamoappframework

#endif // MAINAPPPROTOCOLCOMM_H

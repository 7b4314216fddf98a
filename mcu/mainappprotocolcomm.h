#ifndef MAINAPPPROTOCOLCOMM_H
#define MAINAPPPROTOCOLCOMM_H

#include "mcurecords.h"
#include "capturewriter.h"
#include "mcutransport.h"

namespace tamoappframework {

// The launcher's link to the MCU service, as the framework's libraries see it:
// the senders, the ready notice and the dispatch of incoming records. Behind
// it, McuTransport owns the socket and the link's thread, the routing table
// (mcurouting.h) says where each incoming record goes, and Handlers
// (mcuhandlers.h) does what it asks.
//
// Threads: GetInstance/Start/Stop on the main thread; resolvePacket and the
// handlers on the link's thread; SendData and the senders on any thread.
class MainAppProtocolComm
{
public:
    // The instance, created on first use (no lock: the first call is made on the
    // main thread before the link's thread exists).
    static MainAppProtocolComm *GetInstance();
    // Stops and frees the instance; a later GetInstance() creates a fresh one.
    static void DeleteInstance();

    virtual ~MainAppProtocolComm();

    // Opens the link and starts its thread. Reports nothing: when the service
    // is not there yet, the thread keeps trying with a bounded back-off.
    void Start();
    // Ends the link's thread and closes the socket; returns once the thread
    // has ended (from a handler it only asks).
    void Stop();

    // Hands one whole record (or any byte block) to the link; never waits for
    // the socket. 0: taken, written or queued whole (also for len <= 0);
    // -1: no connection, the send lock not had within 50 ms, or no room.
    int SendData(void *data, int len);

    // Outgoing commands. Each builds its record in the call's own storage.
    // AppReady: from now on every connection carries the ready notice as its
    // first record, exactly once; a connection that has no room for it is made anew.
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
    // Called on the link's thread; public so that the dispatch can be driven
    // without a socket.
    void resolvePacket(unsigned char *record);

    // The link's state, for the service manager and the home screen; see LinkStateBoard.
    using LinkState = McuLinkState;
    using StateListener = LinkStateBoard::Listener;
    LinkState linkState() const;
    bool addStateListener(StateListener listener, void *context);
    void removeStateListener(StateListener listener, void *context);

    // Sign of life of the link's thread ("mcu-link"), for the watchdog.
    void requestSignOfLife();
    bool signOfLifeAnswered() const;

    // The transport, for tests and tools to set up before Start().
    McuTransport &transport() { return m_transport; }

private:
    MainAppProtocolComm();
    MainAppProtocolComm(const MainAppProtocolComm &) = delete;
    MainAppProtocolComm &operator=(const MainAppProtocolComm &) = delete;

    class Handlers;
    static void onRecord(void *self, unsigned char *record, int size);
    static void onCapture(void *self, bool sent, unsigned connection, const unsigned char *record, int size);

    // Declared before the transport: the transport's thread hands it records until it ends.
    processlog::CaptureWriter m_capture;
    McuTransport m_transport;

    static MainAppProtocolComm *m_s_MainAppProtocolComm;
};

} // namespace tamoappframework

#endif // MAINAPPPROTOCOLCOMM_H

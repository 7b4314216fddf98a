#ifndef BENCH_LINKRIG_H
#define BENCH_LINKRIG_H

// The MCU service's side of the link for the in-process benchmarks: socket
// pairs, record streams, and the link started on one end of a pair.

#include "mcurecords.h"

#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include <sched.h>
#include <sys/types.h>

namespace tamoappframework {
class MainAppProtocolComm;
}

namespace bench {

uint64_t monotonicNs();

// A connected AF_UNIX stream pair, closed on destruction.
struct SocketPair {
    SocketPair();
    ~SocketPair();
    SocketPair(const SocketPair &) = delete;
    SocketPair &operator=(const SocketPair &) = delete;
    int a = -1; // handed to the link (or the bare loop)
    int b = -1; // the peer's end
    int release(); // gives `a` away (its new owner closes it)
};

// A thread serving end `a` of a socket pair with `body`, which returns at end
// of file; the benchmark talks to it on `peer()`. The destructor shuts the
// peer's end down and joins the thread.
class PairThread
{
public:
    explicit PairThread(std::function<void(int fd)> body);
    ~PairThread();
    PairThread(const PairThread &) = delete;
    PairThread &operator=(const PairThread &) = delete;
    int peer() const { return m_pair.b; }

private:
    SocketPair m_pair;
    std::thread m_thread;
};

bool writeAll(int fd, const void *data, size_t n);
bool readAll(int fd, void *data, size_t n); // false on EOF or error

McuShortMsg shortRecord(uint32_t msg, uint32_t p1, uint32_t p2);
tag_MCUSRV_TO_MAIN_APP_T longRecord(uint32_t id, uint32_t length, uint8_t fill);

// What the peer sends: `records` records of one mix, then the sentinel 529/13
// that the link answers with 12/186/0.
enum class Mix { Short, Long, Alternate };
struct RecordStream {
    std::vector<unsigned char> bytes;
    int records = 0;
};
RecordStream makeStream(Mix mix, int records);

// The link's answer to the sentinel, 16 bytes.
McuShortMsg sentinelAnswer();
McuShortMsg sentinel();

// The MCU link singleton, started on a socket pair: its receive thread reads
// `link`, the benchmark is the peer on `peer`. Deleted (thread joined) on
// destruction.
class StartedLink
{
public:
    StartedLink();
    ~StartedLink();
    StartedLink(const StartedLink &) = delete;
    StartedLink &operator=(const StartedLink &) = delete;

    tamoappframework::MainAppProtocolComm *link() const { return m_link; }
    int peer() const { return m_peer; }
    bool ok() const { return m_link && m_connected; }

private:
    tamoappframework::MainAppProtocolComm *m_link = nullptr;
    int m_peer = -1;
    bool m_connected = false;
};

// Sends a stream to the link and waits for the answer to its sentinel.
// False if the answer is missing or wrong.
bool pushStream(int peer, const RecordStream &stream);

// Where the threads of a measurement run: the serving threads (the link's
// receive thread, and the log writer it starts; the bare loop) on the second
// processor, the caller on the first. Left to the scheduler, which shares the
// machine with other work, the placement changes from one batch to the next
// and decides the figures more than the code does: whether the peer and the
// reader pipeline on two processors or take turns on one, whether the log
// writer drains the link's lines beside the receive thread or in its time.
struct CrossProcessorPlacement {
    CrossProcessorPlacement();
    ~CrossProcessorPlacement(); // the caller's processors as they were
    CrossProcessorPlacement(const CrossProcessorPlacement &) = delete;
    CrossProcessorPlacement &operator=(const CrossProcessorPlacement &) = delete;
    // Threads started after this (by the caller) run on the second processor.
    void serversOnSecond();
    // Then the caller moves to the first.
    void callerOnFirst();
    bool pinned = false;

private:
    cpu_set_t m_saved;
    pid_t m_writer = 0; // the process log's writer thread, when it was running
    cpu_set_t m_writerSaved;
};

// Silences the stand-ins: the "platform" category off, the journal disabled.
void quietStandIns();

} // namespace bench

#endif // BENCH_LINKRIG_H

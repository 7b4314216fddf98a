// The MCU link in this process under faults: a peer that is gone while records
// keep coming, and every thread of the link interrupted by signals at 1 kHz
// while records flow both ways.

#include "processlog.h"
#include "mainappprotocolcomm.h"
#include "pairconnector.h"
#include "systemclock.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QLoggingCategory>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using tamoappframework::MainAppProtocolComm;
using testsupport::waitFor;
using namespace std::chrono_literals;

constexpr uint32_t kInboundMsg = 60003;  // handed on to the framework unchanged
constexpr uint32_t kOutboundMsg = 60004;

// C standard output to /dev/null while it lives: the dispatcher prints a line
// for every short record, and these tests move hundreds of thousands.
class QuietStdout
{
public:
    QuietStdout()
    {
        std::fflush(stdout);
        m_saved = ::dup(STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    ~QuietStdout()
    {
        std::fflush(stdout);
        processlog::flush(10000);
        ::dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
    }

private:
    int m_saved = -1;
};

class LinkFaults : public ::testing::Test
{
protected:
    void SetUp() override { QLoggingCategory::setFilterRules("platform.debug=false"); }
    void TearDown() override { MainAppProtocolComm::DeleteInstance(); }
    MainAppProtocolComm *link() { return MainAppProtocolComm::GetInstance(); }
};

// SIGPIPE keeps its default action (death) while the test runs, so a write
// that raised it would end the test.
class DefaultSigpipe
{
public:
    DefaultSigpipe()
    {
        struct sigaction sa {};
        sa.sa_handler = SIG_DFL;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGPIPE, &sa, &m_old);
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        ::pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
    }
    ~DefaultSigpipe() { ::sigaction(SIGPIPE, &m_old, nullptr); }

private:
    struct sigaction m_old {};
};

TEST_F(LinkFaults, ThousandRecordsToAPeerThatReadsNothingEachGiveMinusOneAndNoSigpipe)
{
    DefaultSigpipe sigpipe;
    QuietStdout quiet;
    McuShortMsg rec{mcu::kKindShort, kOutboundMsg, 0, 0};
    McuLongMsg longRec{mcu::kKindMcu, 99, {}};

    // The service has shut its read side on every connection: every write
    // meets EPIPE, and the link makes the connection anew each time.
    {
        testsupport::PairConnector pairs;
        pairs.prepare = [](int peer) { ::shutdown(peer, SHUT_RD); };
        link()->transport().setConnector(pairs.connector());
        link()->Start();
        ASSERT_TRUE(link()->transport().isConnected());
        int minusOne = 0;
        for (int i = 0; i < 1000; ++i) {
            rec.p1 = uint32_t(i);
            minusOne += link()->SendData(&rec, sizeof rec) == -1;
            minusOne += link()->SendData(&longRec, sizeof longRec) == -1;
            link()->SendHeartbeattoMCU();
        }
        EXPECT_EQ(2000, minusOne);
        EXPECT_TRUE(waitFor([&] { return link()->transport().connectionCount() >= 2; }));
        MainAppProtocolComm::DeleteInstance();
    }

    // The service is gone altogether, on every connection the link makes.
    {
        testsupport::PairConnector pairs;
        pairs.prepare = [](int peer) { ::shutdown(peer, SHUT_RDWR); };
        link()->transport().setConnector(pairs.connector());
        link()->Start();
        link()->AppReady();
        int minusOne = 0;
        for (int i = 0; i < 1000; ++i) {
            rec.p1 = uint32_t(i);
            minusOne += link()->SendData(&rec, sizeof rec) == -1;
            link()->EjectDisc();
        }
        EXPECT_EQ(1000, minusOne);
        EXPECT_GE(link()->transport().connectionCount(), 1u);
    }
}

TEST_F(LinkFaults, ASlowBusyServiceStillGetsAHeartbeatEverySecond)
{
    QuietStdout quiet;
    testsupport::PairConnector pairs;
    pairs.linkSendBuffer = 4096;
    link()->transport().setConnector(pairs.connector());
    link()->Start();
    ASSERT_TRUE(link()->transport().isConnected());
    const int peer = pairs.peer(0);

    // The service takes 16 bytes every 10 ms and asks 529/13 twenty times a
    // second; the framework's heartbeat goes out once a second meanwhile.
    std::atomic<bool> running{true};
    std::atomic<int> heartbeats{0};
    std::thread service([&] {
        const McuShortMsg ask{mcu::kKindShort, MSG_M2A_PARAM, 13, 1};
        unsigned char got[16];
        for (int tick = 0; running; ++tick) {
            if (tick % 5 == 0)
                ::send(peer, &ask, sizeof ask, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (::recv(peer, got, sizeof got, MSG_DONTWAIT) == 16 && mcu::loadLe32(got + 8) == 190)
                heartbeats.fetch_add(1);
            std::this_thread::sleep_for(10ms);
        }
    });
    constexpr int kSent = 5;
    for (int i = 0; i < kSent; ++i) {
        link()->SendHeartbeattoMCU();
        std::this_thread::sleep_for(1s);
    }
    EXPECT_TRUE(waitFor([&] { return heartbeats.load() >= kSent * 4 / 5; }, 10s)) << heartbeats.load();
    running = false;
    service.join();
}

std::atomic<unsigned> g_signalsHandled{0};
void countSignal(int) { g_signalsHandled.fetch_add(1, std::memory_order_relaxed); }

// Checks, on the receive thread, that the inbound records come in sequence.
struct InboundCheck {
    std::atomic<uint32_t> next{0};
    std::atomic<uint32_t> faults{0};
    std::atomic<bool> haveThread{false};
    pthread_t thread{};

    static void tap(void *self, const unsigned char *data, int size)
    {
        auto *c = static_cast<InboundCheck *>(self);
        if (!c->haveThread.load(std::memory_order_acquire)) {
            c->thread = ::pthread_self();
            c->haveThread.store(true, std::memory_order_release);
        }
        const uint32_t expected = c->next.load(std::memory_order_relaxed);
        if (size != 16 || mcu::loadLe32(data) != 1 || mcu::loadLe32(data + 4) != kInboundMsg ||
            mcu::loadLe32(data + 8) != expected || mcu::loadLe32(data + 12) != (expected ^ 0x5a5a5a5au))
            c->faults.fetch_add(1);
        c->next.store(mcu::loadLe32(data + 8) + 1, std::memory_order_release);
    }
};

TEST_F(LinkFaults, SignalsAtOneKilohertzLoseAndDoubleNoRecordEitherWay)
{
    constexpr int kSenders = 3;
    const auto kRun = 10s;

    // A handler without SA_RESTART: blocking calls of the link return EINTR.
    struct sigaction sa {}, old {};
    sa.sa_handler = &countSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    ASSERT_EQ(0, ::sigaction(SIGUSR1, &sa, &old));
    g_signalsHandled = 0;

    QuietStdout quiet;
    testsupport::PairConnector pairs;
    pairs.linkSendBuffer = 4096; // senders often wait in a write, where a signal finds them
    InboundCheck inbound;
    link()->transport().setConnector(pairs.connector());
    link()->transport().setRecordTap(&InboundCheck::tap, &inbound);
    link()->Start();
    ASSERT_TRUE(link()->transport().isConnected());
    const int peer = pairs.peer(0);
    std::atomic<bool> stop{false};

    // The service's writes: a steady stream cut at odd places, so that reads
    // are interrupted between the pieces of a record.
    std::atomic<uint32_t> inboundSent{0};
    std::thread writer([&] {
        McuShortMsg batch[32];
        const auto *bytes = reinterpret_cast<const unsigned char *>(batch);
        uint32_t seq = 0;
        for (unsigned turn = 0; !stop.load(); ++turn) {
            for (McuShortMsg &r : batch) {
                r = {mcu::kKindShort, kInboundMsg, seq, seq ^ 0x5a5a5a5au};
                ++seq;
            }
            size_t at = 0;
            for (size_t step = 1 + turn % 23; at < sizeof batch; step = step * 7 % 61 + 1) {
                const size_t n = std::min(step, sizeof batch - at);
                const ssize_t w = ::send(peer, bytes + at, n, MSG_NOSIGNAL);
                if (w < 0 && errno == EINTR)
                    continue;
                ASSERT_GT(w, 0) << std::strerror(errno);
                at += size_t(w);
            }
            inboundSent.store(seq);
            const timespec pace{0, 1000 * 1000}; // load generator: about 32 records a millisecond
            ::nanosleep(&pace, nullptr);
        }
    });

    // The service's reads: every sender's records in its own order, once each.
    std::vector<uint32_t> nextOut(kSenders, 0);
    std::atomic<uint32_t> outboundFaults{0};
    std::atomic<uint64_t> outboundRecords{0};
    std::atomic<bool> readerDone{false};
    std::vector<uint32_t> outboundSent(kSenders, 0);
    std::thread reader([&] {
        std::vector<unsigned char> pending;
        unsigned char buf[8192];
        for (;;) {
            pollfd p{peer, POLLIN, 0};
            const int r = ::poll(&p, 1, 100);
            if (r == 0 && readerDone.load())
                return;
            if (r <= 0)
                continue;
            const ssize_t n = ::read(peer, buf, sizeof buf);
            if (n <= 0)
                return;
            pending.insert(pending.end(), buf, buf + n);
            size_t at = 0;
            for (; pending.size() - at >= 16; at += 16) {
                const unsigned char *rec = pending.data() + at;
                const uint32_t t = mcu::loadLe32(rec + 8);
                if (mcu::loadLe32(rec) != 1 || mcu::loadLe32(rec + 4) != kOutboundMsg ||
                    t >= uint32_t(kSenders) || mcu::loadLe32(rec + 12) != nextOut[t]) {
                    outboundFaults.fetch_add(1);
                    if (t >= uint32_t(kSenders))
                        continue;
                }
                nextOut[t] = mcu::loadLe32(rec + 12) + 1;
                outboundRecords.fetch_add(1);
            }
            pending.erase(pending.begin(), pending.begin() + long(at));
        }
    });

    std::vector<pthread_t> senderThreads(kSenders);
    std::atomic<int> sendersUp{0};
    std::atomic<uint64_t> lockTimeouts{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kSenders; ++t) {
        senders.emplace_back([&, t] {
            senderThreads[size_t(t)] = ::pthread_self();
            sendersUp.fetch_add(1);
            uint32_t seq = 0;
            for (; !stop.load(); ++seq) {
                McuShortMsg rec{mcu::kKindShort, kOutboundMsg, uint32_t(t), seq};
                // -1 here is the send lock not had in time: nothing was written.
                while (MainAppProtocolComm::GetInstance()->SendData(&rec, sizeof rec) != 0)
                    lockTimeouts.fetch_add(1);
                if (seq % 16 == 15) {
                    const timespec pace{0, 1000 * 1000};
                    ::nanosleep(&pace, nullptr);
                }
            }
            outboundSent[size_t(t)] = seq;
        });
    }
    ASSERT_TRUE(waitFor([&] { return inbound.haveThread.load() && sendersUp.load() == kSenders; }));

    // 1 kHz to the receive thread and to every sender, for the run's length.
    std::atomic<uint64_t> signalsSent{0};
    std::thread signaller([&] {
        timespec next;
        ::clock_gettime(CLOCK_MONOTONIC, &next);
        const auto end = std::chrono::steady_clock::now() + kRun;
        while (std::chrono::steady_clock::now() < end) {
            ::pthread_kill(inbound.thread, SIGUSR1);
            for (pthread_t s : senderThreads)
                ::pthread_kill(s, SIGUSR1);
            signalsSent.fetch_add(1);
            next.tv_nsec += 1000 * 1000;
            if (next.tv_nsec >= 1000000000L) {
                next.tv_nsec -= 1000000000L;
                ++next.tv_sec;
            }
            ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        }
    });
    signaller.join();
    stop = true;
    for (std::thread &s : senders)
        s.join();
    writer.join();

    // Everything written arrives, then the streams are checked.
    const uint32_t inboundTotal = inboundSent.load();
    EXPECT_TRUE(waitFor([&] { return inbound.next.load() >= inboundTotal; }, 60s))
        << inbound.next.load() << " of " << inboundTotal;
    uint64_t outboundTotal = 0;
    for (uint32_t n : outboundSent)
        outboundTotal += n;
    EXPECT_TRUE(waitFor([&] { return outboundRecords.load() >= outboundTotal; }, 60s))
        << outboundRecords.load() << " of " << outboundTotal;
    readerDone = true;
    reader.join();
    ::sigaction(SIGUSR1, &old, nullptr);

    EXPECT_EQ(0u, inbound.faults.load());
    EXPECT_EQ(inboundTotal, inbound.next.load());
    EXPECT_EQ(0u, outboundFaults.load());
    EXPECT_EQ(outboundTotal, outboundRecords.load());
    for (int t = 0; t < kSenders; ++t)
        EXPECT_EQ(outboundSent[size_t(t)], nextOut[size_t(t)]) << "sender " << t;
    EXPECT_EQ(1u, link()->transport().connectionCount()); // no interruption ended the connection

    // The run really interrupted the link: a loose floor, never a rate.
    EXPECT_GE(signalsSent.load(), 1000u);
    EXPECT_GT(g_signalsHandled.load(), 1000u);
    EXPECT_GT(inboundTotal, 1000u);
    EXPECT_GT(outboundTotal, 1000u);
    std::fprintf(stderr, "signals %llu (handled %u), inbound %u, outbound %llu, lock time-outs %llu\n",
                 static_cast<unsigned long long>(signalsSent.load()), g_signalsHandled.load(),
                 inboundTotal, static_cast<unsigned long long>(outboundTotal),
                 static_cast<unsigned long long>(lockTimeouts.load()));
}

} // namespace

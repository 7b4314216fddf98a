// The MCU link's transport: connecting, reconnecting, the send path and the
// ready notice, against the simulator's service on private names or a socketpair.

#include "mainappprotocolcomm.h"
#include "pairconnector.h"
#include "service.h"
#include "stdoutcapture.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QByteArray>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using tamoappframework::MainAppProtocolComm;
using tamoappframework::McuEndpoint;
using mcusim::Service;
using testsupport::hex;
using testsupport::StdoutCapture;
using testsupport::waitFor;

using testsupport::shortRecord;

const QByteArray kReadyNotice = shortRecord(12, 17, 2);

// Records of a kind the dispatcher ignores, so that only the framing is seen.
QByteArray ignoredLongRecord(uint32_t id, int size)
{
    QByteArray r = testsupport::le32(9) + testsupport::le32(id) + testsupport::le32(uint32_t(size));
    for (int i = 12; i < size; ++i)
        r.append(char(i));
    return r;
}

QByteArray padded(const QByteArray &r)
{
    return r + QByteArray(268 - r.size(), '\0');
}

// Every record the link framed, copied on the receive thread.
struct Tap {
    std::mutex mutex;
    std::vector<QByteArray> records;

    static void record(void *self, const unsigned char *data, int size)
    {
        auto *tap = static_cast<Tap *>(self);
        std::lock_guard<std::mutex> lock(tap->mutex);
        tap->records.emplace_back(reinterpret_cast<const char *>(data), size);
    }
    size_t size()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return records.size();
    }
    std::vector<QByteArray> snapshot()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return records;
    }
};

using testsupport::PairConnector;

class McuTransport : public ::testing::Test
{
protected:
    void TearDown() override { MainAppProtocolComm::DeleteInstance(); }

    MainAppProtocolComm *link() { return MainAppProtocolComm::GetInstance(); }

    McuEndpoint endpointFor(const Service &peer)
    {
        return peer.linkEndpoint("/tmp/" + testsupport::uniqueName("mcu-link"));
    }
};

TEST_F(McuTransport, SendResultsBeforeAndWhileConnected)
{
    // No socket yet: -1 at once, nothing touched.
    McuShortMsg m{};
    EXPECT_EQ(-1, link()->SendData(&m, 16));

    PairConnector pairs;
    link()->transport().setConnector(pairs.connector());
    link()->Start();
    ASSERT_TRUE(link()->transport().isConnected());

    EXPECT_EQ(0, link()->SendData(&m, 0));
    EXPECT_EQ(0, link()->SendData(&m, -5));
    EXPECT_EQ(-1, link()->SendData(nullptr, 16));
    const QByteArray rec = shortRecord(7, 8, 9);
    EXPECT_EQ(0, link()->SendData(const_cast<char *>(rec.constData()), rec.size()));
    // Only the one record went out: the calls with nothing to send wrote nothing.
    EXPECT_EQ(hex(rec), hex(testsupport::readExactly(pairs.peer(0), 17, std::chrono::milliseconds(50))));
}

TEST_F(McuTransport, ReceivedRecordsArriveInStreamOrderWhateverTheWriteSizes)
{
    Service peer("@" + testsupport::uniqueName("mcu-svc"));
    ASSERT_TRUE(peer.listen());
    Tap tap;
    link()->transport().setEndpoint(endpointFor(peer));
    link()->transport().setRecordTap(&Tap::record, &tap);
    link()->Start();
    ASSERT_TRUE(peer.accept());

    std::vector<QByteArray> want;
    QByteArray stream;
    for (int i = 0; i < 40; ++i) {
        const QByteArray l = ignoredLongRecord(uint32_t(i), 12 + (i * 37) % 257);
        const QByteArray s = shortRecord(60000 + uint32_t(i), uint32_t(i), 0);
        stream += l + s;
        want.push_back(padded(l));
        want.push_back(s);
    }
    // Odd write sizes, so that records straddle reads.
    for (int at = 0, step = 1; at < stream.size(); at += step, step = step % 97 + 13)
        ASSERT_TRUE(peer.send(stream.mid(at, step)));

    ASSERT_TRUE(waitFor([&] { return tap.size() >= want.size(); }));
    const std::vector<QByteArray> got = tap.snapshot();
    ASSERT_EQ(want.size(), got.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(hex(want[i]), hex(got[i])) << "record " << i;
}

TEST_F(McuTransport, ConcurrentSendersNeverInterleaveRecords)
{
    constexpr int kThreads = 16;
    constexpr int kPerThread = 10000;
    PairConnector pairs;
    pairs.linkSendBuffer = 4096;
    link()->transport().setConnector(pairs.connector());
    link()->Start();
    ASSERT_TRUE(link()->transport().isConnected());
    const int peer = pairs.peer(0);

    // Every fourth record is long, so that an interleaving breaks the framing.
    auto recordSize = [](int i) { return i % 4 == 0 ? 264 : 16; };
    size_t total = 0;
    for (int i = 0; i < kPerThread; ++i)
        total += size_t(recordSize(i));
    total *= kThreads;

    QByteArray received;
    received.reserve(int(total));
    std::thread drainer([&] {
        char buf[65536];
        while (size_t(received.size()) < total) {
            pollfd p{peer, POLLIN, 0};
            if (::poll(&p, 1, 30000) <= 0)
                return;
            const ssize_t n = ::read(peer, buf, sizeof buf);
            if (n <= 0)
                return;
            received.append(buf, int(n));
        }
    });

    std::atomic<int> drops{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                unsigned char rec[264] = {};
                const int size = recordSize(i);
                mcu::storeLe32(rec, size == 16 ? 1 : 2);
                mcu::storeLe32(rec + 4, uint32_t(t));
                mcu::storeLe32(rec + 8, uint32_t(i));
                mcu::storeLe32(rec + 12, uint32_t(t * 7919 + i) ^ 0xA5A5A5A5u);
                for (int k = 16; k < size; ++k)
                    rec[k] = static_cast<unsigned char>(t + i + k);
                // A record dropped for the lock is reported, never lost silently.
                while (MainAppProtocolComm::GetInstance()->SendData(rec, size) != 0)
                    drops.fetch_add(1);
            }
        });
    }
    for (std::thread &s : senders)
        s.join();
    drainer.join();
    ASSERT_EQ(total, size_t(received.size()));

    std::vector<int> nextSeq(kThreads, 0);
    const auto *p = reinterpret_cast<const unsigned char *>(received.constData());
    for (size_t at = 0; at < total;) {
        const uint32_t kind = mcu::loadLe32(p + at);
        const uint32_t t = mcu::loadLe32(p + at + 4);
        const uint32_t i = mcu::loadLe32(p + at + 8);
        ASSERT_TRUE(kind == 1 || kind == 2) << "at " << at;
        ASSERT_LT(t, uint32_t(kThreads)) << "at " << at;
        ASSERT_EQ(uint32_t(nextSeq[t]), i) << "thread " << t << " out of order at " << at;
        const int size = recordSize(int(i));
        ASSERT_EQ(size == 16 ? 1u : 2u, kind);
        ASSERT_EQ(uint32_t(t * 7919 + i) ^ 0xA5A5A5A5u, mcu::loadLe32(p + at + 12));
        for (int k = 16; k < size; ++k)
            ASSERT_EQ(static_cast<unsigned char>(t + i + uint32_t(k)), p[at + size_t(k)]);
        ++nextSeq[t];
        at += size_t(size);
    }
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(kPerThread, nextSeq[t]) << "thread " << t;
}

TEST_F(McuTransport, ClosedPeerGivesMinusOneAndTheProcessLives)
{
    PairConnector pairs;
    link()->transport().setConnector(pairs.connector());
    link()->Start();
    ASSERT_TRUE(link()->transport().isConnected());
    const QByteArray rec = shortRecord(1, 2, 3);

    // The service stops reading but keeps its end open: the link still holds
    // its connection, and a write meets a closed peer (EPIPE, not SIGPIPE).
    ASSERT_EQ(0, ::shutdown(pairs.peer(0), SHUT_RD));
    EXPECT_EQ(-1, link()->SendData(const_cast<char *>(rec.constData()), rec.size()));
    EXPECT_EQ(-1, link()->SendData(const_cast<char *>(rec.constData()), rec.size()));

    // The service goes away entirely: the link drops the connection, sends
    // fail at once while it is down, and it connects again.
    pairs.closePeer(0);
    ASSERT_TRUE(waitFor([&] { return link()->transport().connectionCount() >= 2; }));
    ASSERT_TRUE(link()->transport().isConnected());
    EXPECT_EQ(0, link()->SendData(const_cast<char *>(rec.constData()), rec.size()));
    EXPECT_EQ(hex(rec), hex(testsupport::readExactly(pairs.peer(1), 16)));
}

TEST_F(McuTransport, LateServiceAndRestartsGetTheReadyNoticeFirst)
{
    StdoutCapture out;
    Service peer("@" + testsupport::uniqueName("mcu-svc"));
    Tap tap;
    link()->transport().setEndpoint(endpointFor(peer));
    link()->transport().setRecordTap(&Tap::record, &tap);
    link()->Start(); // nobody listens yet
    EXPECT_FALSE(link()->transport().isConnected());
    link()->AppReady();
    McuShortMsg m{};
    EXPECT_EQ(-1, link()->SendData(&m, 16));

    const QByteArray marker = shortRecord(12, 190, 0);
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE("connection " + std::to_string(round));
        ASSERT_TRUE(peer.listen());
        ASSERT_TRUE(peer.accept());
        ASSERT_TRUE(waitFor([&] { return link()->transport().connectionCount() == unsigned(round); }));
        // The notice first, once, then what is sent afterwards.
        ASSERT_EQ(0, link()->SendData(const_cast<char *>(marker.constData()), marker.size()));
        EXPECT_EQ(hex(kReadyNotice + marker), hex(peer.read(32)));

        const QByteArray in = ignoredLongRecord(uint32_t(round), 40);
        ASSERT_TRUE(peer.send(in));
        ASSERT_TRUE(waitFor([&] { return tap.size() >= size_t(round); }));
        EXPECT_EQ(hex(padded(in)), hex(tap.snapshot().back()));

        // The service restarts, and is found absent meanwhile.
        peer.closeConnection();
        peer.stopListening();
        ASSERT_TRUE(waitFor([&] { return !link()->transport().isConnected(); }));
        ASSERT_TRUE(waitFor([&] { return out.count("cannot connect to the MCU service") == round + 1; }));
    }
    // Short connections with the service absent between them are no storm:
    // each is logged.
    EXPECT_EQ(3, out.count("Main App invaild datalen:0\n"));
    EXPECT_EQ(3, out.count("MainAppProtocolComm connected to the MCU service\n"));
}

TEST_F(McuTransport, AServiceThatDropsEveryConnectionIsTriedLessAndLessAndLoggedOnce)
{
    StdoutCapture out;
    PairConnector pairs;
    // Accepted, one byte, then gone: a byte is no whole record, so no reason to hurry back.
    pairs.prepare = [](int peer) {
        ::send(peer, "x", 1, MSG_NOSIGNAL);
        ::shutdown(peer, SHUT_RDWR);
    };
    link()->transport().setConnector(pairs.connector());
    const auto start = std::chrono::steady_clock::now();
    link()->Start();
    // 50, 100, 200, 400 ms between attempts: the fifth comes after 750 ms at the earliest.
    ASSERT_TRUE(waitFor([&] { return link()->transport().connectionCount() >= 5; }, std::chrono::seconds(30)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(750));
    link()->Stop();
    EXPECT_EQ(1, out.count("MainAppProtocolComm connected to the MCU service\n"));
    EXPECT_EQ(1, out.count("Main App invaild datalen:0\n"));
}

TEST_F(McuTransport, RefusedAttemptsLogOnceAndBackOff)
{
    StdoutCapture out;
    PairConnector pairs;
    pairs.failFirst = 5;
    link()->transport().setConnector(pairs.connector());
    link()->Start();
    link()->AppReady();
    ASSERT_TRUE(waitFor([&] { return link()->transport().isConnected(); }));
    EXPECT_EQ(6, pairs.calls.load());
    EXPECT_EQ(1, out.count("cannot connect to the MCU service"));
    EXPECT_EQ(1, out.count("MainAppProtocolComm connected to the MCU service\n"));
    EXPECT_EQ(hex(kReadyNotice), hex(testsupport::readExactly(pairs.peer(0), 16)));
}

TEST_F(McuTransport, ReadyNoticeOncePerConnectionWhenRacingAReconnect)
{
    for (int iteration = 0; iteration < 20; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        PairConnector pairs;
        link()->transport().setConnector(pairs.connector());
        link()->Start();
        ASSERT_TRUE(link()->transport().isConnected());

        // Drop the first connection and call AppReady while the link reconnects.
        ::shutdown(pairs.peer(0), SHUT_RDWR);
        link()->AppReady();
        ASSERT_TRUE(waitFor([&] { return link()->transport().connectionCount() >= 2; }));

        const QByteArray marker = shortRecord(12, 140, 0);
        ASSERT_EQ(0, link()->SendData(const_cast<char *>(marker.constData()), marker.size()));
        EXPECT_EQ(hex(kReadyNotice + marker),
                  hex(testsupport::readExactly(pairs.peer(1), 48, std::chrono::milliseconds(50))));
        MainAppProtocolComm::DeleteInstance();
    }
}

TEST_F(McuTransport, WhatTheSocketCannotTakeWaitsWholeAndGoesOnWhereItStopped)
{
    PairConnector pairs;
    pairs.linkSendBuffer = 4096;
    link()->transport().setConnector(pairs.connector());
    link()->Start();
    ASSERT_TRUE(link()->transport().isConnected());
    link()->AppReady();
    const int peer = pairs.peer(0);
    ASSERT_EQ(hex(kReadyNotice), hex(testsupport::readExactly(peer, 16)));
    StdoutCapture out;

    // A block far larger than the socket holds, while the service does not
    // read: the socket takes part of it, the rest waits; records after it
    // wait behind it until the queue is full, then they are dropped whole.
    QByteArray block(40000, '\0');
    for (int i = 0; i < block.size(); ++i)
        block[i] = char(i % 251);
    ASSERT_EQ(0, link()->SendData(block.data(), block.size()));
    QByteArray expected = block;
    int dropped = 0;
    for (uint32_t i = 0; dropped < 3; ++i) {
        QByteArray rec = shortRecord(7, i, 0);
        if (link()->SendData(rec.data(), rec.size()) == 0)
            expected += rec;
        else
            ++dropped;
    }
    EXPECT_EQ(1, out.count("the MCU service is not reading; records that find no room are dropped"));

    // The service reads again: every byte taken arrives once, in order, on the same connection.
    EXPECT_EQ(hex(expected), hex(testsupport::readExactly(peer, expected.size(), std::chrono::seconds(30))));
    EXPECT_EQ(1u, link()->transport().connectionCount());
    EXPECT_TRUE(waitFor([&] { return out.count("the MCU service reads again; 3 records were dropped") == 1; }));
}

TEST_F(McuTransport, AServiceThatStopsReadingCostsAnswersThenItsConnection)
{
    PairConnector pairs;
    pairs.linkSendBuffer = 4096;
    Tap tap;
    link()->transport().setRecordTap(&Tap::record, &tap);
    link()->transport().setConnector(pairs.connector());
    link()->Start();
    ASSERT_TRUE(link()->transport().isConnected());
    link()->AppReady();
    const int peer = pairs.peer(0);
    ASSERT_EQ(hex(kReadyNotice), hex(testsupport::readExactly(peer, 16)));
    StdoutCapture out;

    // The service floods 529/13 and never reads: the answers fill the socket
    // and the queue. The link's thread goes on dispatching, dropping answers
    // that find no room, and never waits in a write.
    const QByteArray ask = shortRecord(529, 13, 1);
    std::thread service([&] {
        for (int i = 0; i < 8000; ++i) {
            pollfd w{peer, POLLOUT, 0};
            if (::poll(&w, 1, 5000) != 1 || ::send(peer, ask.constData(), size_t(ask.size()), MSG_NOSIGNAL) != 16)
                break;
        }
    });
    EXPECT_TRUE(waitFor([&] { return tap.size() >= 8000; }, std::chrono::seconds(60)))
        << "the link's thread stopped dispatching";
    service.join();
    EXPECT_EQ(1, out.count("the MCU service is not reading; records that find no room are dropped"));

    // Having read nothing for two seconds, it is left; the next connection
    // begins with the ready notice.
    ASSERT_TRUE(waitFor([&] { return pairs.peer(1) >= 0; }, std::chrono::seconds(10)));
    EXPECT_EQ(hex(kReadyNotice), hex(testsupport::readExactly(pairs.peer(1), 16)));
    EXPECT_EQ(1, out.count("the MCU service has read nothing for 2000 ms; reconnecting"));

    // The stalled connection carried whole answers only.
    const QByteArray old = testsupport::readExactly(peer, 1 << 20, std::chrono::seconds(5));
    ASSERT_GT(old.size(), 0);
    ASSERT_EQ(0, old.size() % 16);
    for (int at = 0; at < old.size(); at += 16)
        ASSERT_EQ(hex(shortRecord(12, 186, 0)), hex(old.mid(at, 16))) << "at byte " << at;
}

TEST_F(McuTransport, AServiceThatShutsItsReadSideIsReconnected)
{
    PairConnector pairs;
    link()->transport().setConnector(pairs.connector());
    link()->Start();
    ASSERT_TRUE(link()->transport().isConnected());
    link()->AppReady();
    ASSERT_EQ(hex(kReadyNotice), hex(testsupport::readExactly(pairs.peer(0), 16)));
    StdoutCapture out;

    ::shutdown(pairs.peer(0), SHUT_RD);
    McuShortMsg m{};
    EXPECT_EQ(-1, link()->SendData(&m, 16)); // EPIPE
    ASSERT_TRUE(waitFor([&] { return pairs.peer(1) >= 0; }));
    EXPECT_EQ(hex(kReadyNotice), hex(testsupport::readExactly(pairs.peer(1), 16)));
    EXPECT_EQ(1, out.count("a write to the MCU service failed (Broken pipe); reconnecting"));
}

TEST_F(McuTransport, StopEndsABlockedReadAndTheLinkCanStartAgain)
{
    Service peer("@" + testsupport::uniqueName("mcu-svc"));
    ASSERT_TRUE(peer.listen());
    link()->transport().setEndpoint(endpointFor(peer));
    link()->Start();
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(link()->transport().isConnected());

    link()->Stop(); // the receive thread sits in its read: nothing arrives
    EXPECT_FALSE(link()->transport().isConnected());
    EXPECT_TRUE(peer.waitForEof());
    McuShortMsg m{};
    EXPECT_EQ(-1, link()->SendData(&m, 16));

    link()->Start();
    ASSERT_TRUE(peer.accept());
    EXPECT_EQ(1u, link()->transport().connectionCount());
    const QByteArray rec = shortRecord(3, 4, 5);
    EXPECT_EQ(0, link()->SendData(const_cast<char *>(rec.constData()), rec.size()));
    EXPECT_EQ(hex(rec), hex(peer.read(16)));

    // Deleting a running link ends its thread before the object goes.
    MainAppProtocolComm::DeleteInstance();
    EXPECT_TRUE(peer.waitForEof());
    MainAppProtocolComm::DeleteInstance(); // nothing left: does nothing
}

} // namespace

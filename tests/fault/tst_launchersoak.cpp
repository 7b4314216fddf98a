// The launcher binary against MCU services that die and talk nonsense: every
// record a dead service wrote is still dispatched, reconnects stay quick, and
// descriptors, memory and the log stay bounded however long it goes on. And
// with a standard error nobody reads: the link and the stop go on regardless.

#include "faultmode.h"
#include "mcurecords.h"
#include "service.h"
#include "serviceprocess.h"
#include "soaklauncher.h"
#include "targetprogram.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QByteArray>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Process = testsupport::ServiceProcess;
using mcusim::kStreamMsg;
const auto monotonicNs = mcusim::CounterPage::monotonicNs;
using testsupport::scaled;
using testsupport::waitFor;
using namespace std::chrono_literals;

// Memory may grow this much after warm-up (allocator caches, lazily touched
// pages); a leak per record, per connection or per garbage read exceeds it
// many times over in these runs.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kRssSlackKiB = 8 * 1024; // the sanitizers' own bookkeeping and quarantine
#else
// Through the emulator the process is the emulator's, whose cache of translated
// code grows as the launcher first reaches a path (the well-behaved service
// after the garbage, say).
const long kRssSlackKiB = testsupport::emulated() ? 8 * 1024 : 1024;
#endif
constexpr int kFdSlack = 2;

// The launcher's "Main app normal msg:<msg>, p1:<p1>, p2:<p2>." lines for one
// message number, parsed as they come.
class NormalMsgLines
{
public:
    explicit NormalMsgLines(uint32_t msg)
        : m_prefix("Main app normal msg:" + QByteArray::number(msg) + ", p1:")
    {
    }
    struct Line {
        uint32_t p1, p2;
    };
    const std::vector<Line> &update(const QByteArray &out)
    {
        for (;;) {
            const int end = out.indexOf('\n', m_at);
            if (end < 0)
                break;
            const QByteArray line = out.mid(m_at, end - m_at);
            m_at = end + 1;
            if (!line.startsWith(m_prefix))
                continue;
            unsigned p1 = 0, p2 = 0;
            if (std::sscanf(line.constData() + m_prefix.size(), "%u, p2:%u.", &p1, &p2) == 2)
                m_lines.push_back({p1, p2});
        }
        return m_lines;
    }

private:
    QByteArray m_prefix;
    int m_at = 0;
    std::vector<Line> m_lines;
};

std::vector<std::string> serviceArgs(const soak::Launcher &launcher, std::vector<std::string> args)
{
    if (!launcher.netnsPath().empty())
        args.insert(args.end(), {"--netns", launcher.netnsPath()});
    return args;
}

// One service life of the stream: records first..written-1 were wholly written
// before it died; record `written` may have been on its way.
struct Life {
    uint32_t round, first, written;
};

// Every record of every life dispatched once, in order, and nothing else.
::testing::AssertionResult everyWrittenRecordOnce(const std::vector<NormalMsgLines::Line> &got,
                                                  const std::vector<Life> &lives)
{
    size_t at = 0;
    for (const Life &l : lives) {
        for (uint32_t seq = l.first; seq < l.written; ++at, ++seq) {
            if (at >= got.size())
                return ::testing::AssertionFailure()
                       << "life " << l.round << ": record " << seq << " never dispatched";
            if (got[at].p1 != seq || got[at].p2 != l.round)
                return ::testing::AssertionFailure()
                       << "life " << l.round << ": expected record " << seq << ", dispatched "
                       << got[at].p1 << " of life " << got[at].p2;
        }
        if (at < got.size() && got[at].p1 == l.written && got[at].p2 == l.round)
            ++at; // the one in flight made it
    }
    if (at != got.size())
        return ::testing::AssertionFailure() << "record " << got[at].p1 << " of life " << got[at].p2
                                             << " dispatched beyond what was written";
    return ::testing::AssertionSuccess();
}

// Streams records from a service that is killed part-way, `lives` times over,
// and checks what the launcher dispatched. Returns the slowest reconnect.
void streamThroughKills(soak::Launcher &launcher, Process &service, uint32_t firstRound, int lives,
                        std::vector<Life> &done, int64_t *slowestReconnectNs,
                        const std::function<void(int)> &atKillPoint = {})
{
    int64_t killedAt = 0;
    uint32_t first = done.empty() ? 0 : done.back().written + 1;
    for (int i = 0; i < lives; ++i) {
        const uint32_t round = firstRound + uint32_t(i);
        SCOPED_TRACE("service life " + std::to_string(round));
        ASSERT_TRUE(service.start(serviceArgs(launcher, {"stream", "--round", std::to_string(round),
                                                         "--first", std::to_string(first)})));
        ASSERT_TRUE(waitFor([&] { return service.counters().accepted.load() == 1; }, 30s))
            << "error " << service.counters().error.load();
        if (killedAt != 0)
            *slowestReconnectNs =
                std::max(*slowestReconnectNs, service.counters().acceptedAtNs.load() - killedAt);

        // Killed at a different point of the stream each time.
        const uint32_t target = first + 20 + (round * 37) % 180;
        ASSERT_TRUE(waitFor([&] { return service.counters().written.load() >= target; }, 30s));
        if (atKillPoint)
            atKillPoint(i);
        killedAt = monotonicNs();
        ASSERT_TRUE(service.kill());
        const uint32_t written = service.counters().written.load();
        done.push_back({round, first, written});
        first = written + 1;
        ASSERT_TRUE(launcher.running()) << launcher.standardError().right(6000).toStdString();
    }
}

bool allDispatched(soak::Launcher &launcher, NormalMsgLines &lines, const std::vector<Life> &lives)
{
    const uint32_t last = lives.back().written - 1;
    return waitFor(
        [&] {
            const auto &got = lines.update(launcher.standardOutput());
            return std::any_of(got.rbegin(), got.rend(), [&](const NormalMsgLines::Line &l) {
                return l.p1 >= last;
            });
        },
        60s);
}

TEST(LauncherSoak, ServiceKilledAndRestartedHundredTimesLosesNoRecord)
{
    soak::Launcher launcher;
    ASSERT_TRUE(launcher.start(60s)) << launcher.standardError().toStdString();
    Process service;
    std::vector<Life> lives;
    int64_t slowest = 0;
    long rssWarm = -1, rssEnd = -1;
    int fdsWarm = -1, fdsEnd = -1;

    // Descriptors and memory are read at the same point of a life: connected,
    // with records flowing.
    streamThroughKills(launcher, service, 0, 100, lives, &slowest, [&](int life) {
        if (life == 30) {
            rssWarm = launcher.rssKiB();
            fdsWarm = launcher.descriptorCount();
        } else if (life == 99) {
            rssEnd = launcher.rssKiB();
            fdsEnd = launcher.descriptorCount();
        }
    });
    ASSERT_EQ(100u, lives.size());

    NormalMsgLines lines(kStreamMsg);
    ASSERT_TRUE(allDispatched(launcher, lines, lives));
    EXPECT_TRUE(everyWrittenRecordOnce(lines.update(launcher.standardOutput()), lives));

    std::fprintf(stderr, "records %zu, slowest reconnect %.1f ms, fds %d -> %d, VmRSS %ld -> %ld KiB\n",
                 lines.update(launcher.standardOutput()).size(), double(slowest) / 1e6, fdsWarm,
                 fdsEnd, rssWarm, rssEnd);
    EXPECT_LT(slowest, 2000LL * 1000 * 1000);
    ASSERT_GT(fdsWarm, 0);
    EXPECT_LE(fdsEnd, fdsWarm + kFdSlack);
    ASSERT_GT(rssWarm, 0);
    EXPECT_LE(rssEnd, rssWarm + kRssSlackKiB);

    EXPECT_TRUE(launcher.terminate(30s)) << launcher.standardError().toStdString();
}

TEST(LauncherSoak, SixtySecondsOfGarbageLeaveTheLauncherServingAndItsLogBounded)
{
    soak::Launcher launcher;
    ASSERT_TRUE(launcher.start(60s)) << launcher.standardError().toStdString();
    Process garbage;
    ASSERT_TRUE(garbage.start(serviceArgs(launcher, {"garbage", "--for", "60s", "--seed", "20240501"})));
    ASSERT_TRUE(waitFor([&] { return garbage.counters().markers.load() >= 1; }, 30s))
        << "error " << garbage.counters().error.load();

    // Memory after warm-up, then at the end of the run.
    const int64_t warm = monotonicNs() + 15LL * 1000 * 1000 * 1000;
    ASSERT_TRUE(waitFor([&] { return monotonicNs() >= warm || !launcher.running(); }, 30s));
    ASSERT_TRUE(launcher.running()) << launcher.standardError().right(6000).toStdString();
    const long rssWarm = launcher.rssKiB();
    ASSERT_TRUE(waitFor([&] { return garbage.counters().finished.load() == 1 || !launcher.running(); },
                        150s));
    ASSERT_TRUE(launcher.running()) << launcher.standardError().right(6000).toStdString();
    const long rssEnd = launcher.rssKiB();
    garbage.kill();

    // Each connection's marker came first on a fresh stream: it must have been
    // dispatched whatever garbage the connection before it left behind.
    const uint32_t connections = garbage.counters().markers.load();
    NormalMsgLines markers(mcusim::kMarkerMsg);
    EXPECT_TRUE(waitFor([&] { return markers.update(launcher.standardOutput()).size() >= connections; },
                        60s));
    EXPECT_EQ(connections, markers.update(launcher.standardOutput()).size());

    // The service lost the name; a well-behaved one is served as before.
    Process service;
    std::vector<Life> lives;
    int64_t slowest = 0;
    streamThroughKills(launcher, service, 1000, 3, lives, &slowest);
    NormalMsgLines lines(kStreamMsg);
    ASSERT_TRUE(allDispatched(launcher, lines, lives));
    EXPECT_TRUE(everyWrittenRecordOnce(lines.update(launcher.standardOutput()), lives));

    // The log grows with connections and with records that frame, never with
    // the garbage's volume.
    const uint64_t sent = garbage.counters().bytesSent.load();
    const uint32_t framed = garbage.counters().framedOnPurpose.load();
    const qint64 out = launcher.standardOutput().size();
    const qint64 err = launcher.standardError().size();
    std::fprintf(stderr,
                 "garbage %llu bytes over %u connections (%u records framing on purpose); "
                 "launcher wrote %lld bytes to stdout, %lld to stderr; VmRSS %ld -> %ld KiB\n",
                 static_cast<unsigned long long>(sent), connections, framed,
                 static_cast<long long>(out), static_cast<long long>(err), rssWarm, rssEnd);
    // The launcher ends a connection at its first corrupt header and backs off
    // before the next: the garbage it takes in is bounded by its reconnections.
    EXPECT_GT(sent, 0u);
    EXPECT_GT(connections, 10u);
    EXPECT_LE(out, 64 * 1024 + 256 * qint64(connections + framed));
    EXPECT_LE(err, 256 * 1024 + 1024 * qint64(connections + framed));
    EXPECT_LE(rssEnd, rssWarm + kRssSlackKiB);

    EXPECT_TRUE(launcher.terminate(30s)) << launcher.standardError().right(4000).toStdString();
}

// Waits for a short record msg/p1 from the launcher, passing over the others.
bool awaitShort(mcusim::Service &service, uint32_t msg, uint32_t p1, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= 0ms)
            return false;
        const std::vector<unsigned char> head = service.read(4, left);
        if (head.size() < 4)
            return false;
        const uint32_t kind = mcu::loadLe32(head.data());
        const std::vector<unsigned char> rest = service.read(kind == 1 ? 12 : 260, std::max(left, 1000ms));
        if (kind == 1 && rest.size() == 12 && mcu::loadLe32(&rest[0]) == msg && mcu::loadLe32(&rest[4]) == p1)
            return true;
    }
}

// Standard error is a pipe nobody reads (a journal that stopped reading) while
// the service sends 3000 records that each log a debug line on the link's
// receive thread: the launcher answers every parameter meanwhile and ends at
// SIGTERM with status 0.
TEST(LauncherSoak, AStalledStandardErrorHoldsUpNeitherTheLinkNorTheStop)
{
    const QString fifo = testsupport::scratchDir("stalled-stderr") + "/stderr";
    ASSERT_EQ(0, ::mkfifo(fifo.toUtf8().constData(), 0600));
    const int unread = ::open(fifo.toUtf8().constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(unread, 0);
    ::fcntl(unread, F_SETPIPE_SZ, 4096);

    soak::Launcher launcher;
    launcher.setStandardErrorFile(fifo);
    ASSERT_TRUE(launcher.start(60s)) << launcher.standardOutput().toStdString();
    mcusim::Service service;
    ASSERT_TRUE(service.listen(launcher.netnsPath())) << service.error();
    ASSERT_TRUE(service.accept(scaled(20s)));

    for (uint32_t batch = 0; batch < 6; ++batch) {
        SCOPED_TRACE("batch " + std::to_string(batch));
        QByteArray records;
        for (uint32_t i = 0; i < 500; ++i)
            records += testsupport::shortRecord(13144, batch * 500 + i, 0);
        ASSERT_TRUE(service.send(records));
        ASSERT_TRUE(service.send(testsupport::shortRecord(529, 13, batch)));
        ASSERT_TRUE(awaitShort(service, 12, 186, scaled(1s)));
    }

    EXPECT_TRUE(launcher.terminate(5s)) << launcher.standardOutput().right(2000).toStdString();
    ::close(unread);
}

} // namespace

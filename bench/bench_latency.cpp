// Latency of one incoming record, against a bare socket ping-pong on the same
// kind of socket pair (one thread blocked in read, echoing back).
//
//  key press: from the peer's write of a short 13078 to the stand-in's journal
//             stamp of BaseControl::sendMcuKeyPressedSignal (CLOCK_MONOTONIC).
//             The stand-in formats its trace text before it stamps; that
//             offset is measured on its own by calling the stand-in directly.
//  529 echo:  half the round trip of a short 529/13, which the dispatcher
//             answers with 12/186/0.
//  bare:      half the round trip of 16 bytes through the echoing thread.
// Every sample round takes one of each, so the three series share the moments
// of the run. The link's receive thread and the echo run on the second
// processor, the peer (this thread) on the first.

#include "linkrig.h"

#include "basecontrol.h"
#include "journal.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// Echoes what it reads: the bare ping-pong.
struct Echo : bench::PairThread {
    Echo()
        : PairThread([](int fd) {
              unsigned char buf[mcu::kIncomingRecordSize];
              for (;;) {
                  const ssize_t n = ::read(fd, buf, sizeof buf);
                  if (n <= 0 || !bench::writeAll(fd, buf, size_t(n)))
                      return;
              }
          })
    {
    }
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
    return v[i];
}

// How long a key press may take to be stamped before the sample counts as lost.
constexpr uint64_t kStampWaitNs = 1000000000;

const QString kKeyCall = QStringLiteral("BaseControl::sendMcuKeyPressedSignal(");

// The stamp of the first key-press call after `seq`, or 0.
qint64 keyStamp(quint64 seq)
{
    for (const platform::JournalEntry &e : platform::Journal::instance().since(seq)) {
        if (e.text.startsWith(kKeyCall))
            return e.monotonicNs;
    }
    return 0;
}

void BM_Latency(benchmark::State &state)
{
    platform::Journal &journal = platform::Journal::instance();
    bench::CrossProcessorPlacement placement;
    placement.serversOnSecond(); // the link's receive thread and the echo
    bench::StartedLink link;
    Echo echo;
    placement.callerOnFirst();
    state.counters["pinned"] = placement.pinned ? 1 : 0;
    if (!link.ok()) {
        state.SkipWithError("the link did not connect");
        return;
    }
    // A short ring keeps the look-up of each sample's entries cheap.
    const int capacity = journal.capacity();
    journal.setCapacity(64);

    const McuShortMsg key = bench::shortRecord(MSG_M2A_KEY_PRESSED, 3, 1);
    const McuShortMsg ask = bench::sentinel();
    const McuShortMsg expected = bench::sentinelAnswer();
    std::vector<double> keyNs, echoNs, bareNs, offsetNs;
    keyNs.reserve(size_t(state.max_iterations));
    echoNs.reserve(size_t(state.max_iterations));
    bareNs.reserve(size_t(state.max_iterations));
    offsetNs.reserve(size_t(state.max_iterations));
    bool failed = false;

    for (auto _ : state) {
        McuShortMsg answer;
        // Bare ping-pong, and the link with quiet stand-ins.
        journal.setEnabled(false);
        uint64_t t0 = bench::monotonicNs();
        bench::writeAll(echo.peer(), &key, sizeof key);
        bench::readAll(echo.peer(), &answer, sizeof answer);
        bareNs.push_back(double(bench::monotonicNs() - t0) / 2);

        // 529/13 round trip through the link.
        t0 = bench::monotonicNs();
        bench::writeAll(link.peer(), &ask, sizeof ask);
        failed |= !bench::readAll(link.peer(), &answer, sizeof answer) ||
                  std::memcmp(&answer, &expected, sizeof answer) != 0;
        echoNs.push_back(double(bench::monotonicNs() - t0) / 2);

        // Key press, alone on the socket as a real one arrives: the sentinel
        // goes only once the call is stamped (written at once, it lands while
        // the link wakes and adds its own cost to the figure).
        journal.setEnabled(true);
        quint64 seq = journal.lastSeq();
        t0 = bench::monotonicNs();
        bench::writeAll(link.peer(), &key, sizeof key);
        qint64 stamp = 0;
        while ((stamp = keyStamp(seq)) == 0 && bench::monotonicNs() - t0 < kStampWaitNs) {
            if (!placement.pinned)
                std::this_thread::yield(); // the link may need this processor
        }
        bench::writeAll(link.peer(), &ask, sizeof ask);
        failed |= !bench::readAll(link.peer(), &answer, sizeof answer);
        failed |= stamp == 0;
        keyNs.push_back(double(stamp - qint64(t0)));

        // What the stand-in spends before its stamp, called directly.
        seq = journal.lastSeq();
        t0 = bench::monotonicNs();
        BaseControl::getInstance()->sendMcuKeyPressedSignal(3, 1);
        offsetNs.push_back(double(keyStamp(seq) - qint64(t0)));
        if (failed)
            break;
    }
    journal.setEnabled(false);
    journal.setCapacity(capacity);
    if (failed) {
        state.SkipWithError("a sample was lost");
        return;
    }
    const double bare50 = percentile(bareNs, 0.5);
    const double offset50 = percentile(offsetNs, 0.5);
    state.counters["key_p50_ns"] = percentile(keyNs, 0.5);
    state.counters["key_p99_ns"] = percentile(keyNs, 0.99);
    state.counters["echo529_p50_ns"] = percentile(echoNs, 0.5);
    state.counters["echo529_p99_ns"] = percentile(echoNs, 0.99);
    state.counters["bare_p50_ns"] = bare50;
    state.counters["bare_p99_ns"] = percentile(bareNs, 0.99);
    state.counters["standin_offset_p50_ns"] = offset50;
    state.counters["key_ratio_p50"] = percentile(keyNs, 0.5) / bare50;
    state.counters["key_less_offset_ratio_p50"] = (percentile(keyNs, 0.5) - offset50) / bare50;
    state.counters["echo529_ratio_p50"] = percentile(echoNs, 0.5) / bare50;
}

} // namespace

BENCHMARK(BM_Latency)->Iterations(20000)->Unit(benchmark::kMicrosecond);

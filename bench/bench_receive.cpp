// Receive throughput: records through the link's real receive loop, framer and
// dispatcher into quiet stand-ins, against a bare loop doing the same 268-byte
// reads on the same kind of socket pair. Every iteration runs one batch through
// each, so both figures come from the same moments of the same run.

#include "linkrig.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

namespace {

using bench::Mix;

// Reads like the link does (268 bytes a turn) and answers once it has seen
// `expected` bytes: the limit of the socket and the read loop alone.
struct BareReader : bench::PairThread {
    explicit BareReader(size_t expected)
        : PairThread([expected](int fd) {
              unsigned char buf[mcu::kIncomingRecordSize];
              const McuShortMsg answer = bench::sentinelAnswer();
              size_t seen = 0;
              for (;;) {
                  const ssize_t n = ::read(fd, buf, sizeof buf);
                  if (n <= 0)
                      return;
                  seen += size_t(n);
                  if (seen >= expected) {
                      seen -= expected;
                      bench::writeAll(fd, &answer, sizeof answer);
                  }
              }
          })
    {
    }
};

void receive(benchmark::State &state, Mix mix)
{
    const int records = int(state.range(0));
    const bench::RecordStream stream = bench::makeStream(mix, records);
    bench::CrossProcessorPlacement placement;
    placement.serversOnSecond(); // the link's receive thread (and its log writer), the bare loop
    bench::StartedLink link;
    BareReader bare(stream.bytes.size());
    placement.callerOnFirst();
    state.counters["pinned"] = placement.pinned ? 1 : 0;
    if (!link.ok()) {
        state.SkipWithError("the link did not connect");
        return;
    }
    // Warm-up: first calls create the stand-ins' singletons.
    bench::pushStream(link.peer(), stream);
    bench::pushStream(bare.peer(), stream);

    double linkSeconds = 0, bareSeconds = 0;
    for (auto _ : state) {
        uint64_t t0 = bench::monotonicNs();
        const bool linkOk = bench::pushStream(link.peer(), stream);
        uint64_t t1 = bench::monotonicNs();
        const bool bareOk = bench::pushStream(bare.peer(), stream);
        uint64_t t2 = bench::monotonicNs();
        if (!linkOk || !bareOk) {
            state.SkipWithError("a batch was not answered");
            return;
        }
        linkSeconds += double(t1 - t0) * 1e-9;
        bareSeconds += double(t2 - t1) * 1e-9;
        state.SetIterationTime(double(t1 - t0) * 1e-9);
    }
    const double n = double(records) * double(state.iterations());
    state.SetItemsProcessed(int64_t(n));
    state.counters["link_rec_s"] = n / linkSeconds;
    state.counters["bare_rec_s"] = n / bareSeconds;
    state.counters["ratio"] = bareSeconds / linkSeconds;
}

void BM_ReceiveShort(benchmark::State &state) { receive(state, Mix::Short); }
void BM_ReceiveLong(benchmark::State &state) { receive(state, Mix::Long); }
void BM_ReceiveMix(benchmark::State &state) { receive(state, Mix::Alternate); }

} // namespace

BENCHMARK(BM_ReceiveShort)->Arg(8192)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReceiveLong)->Arg(4096)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReceiveMix)->Arg(4096)->UseManualTime()->Unit(benchmark::kMillisecond);

// Heap allocations on the receive path and in the beep filter, counted after
// warm-up with the stand-ins quiet.
//
//  link:        the whole receive path (loop, framer, dispatcher, quiet
//               stand-ins), counted process-wide while the benchmark thread
//               only writes and waits for the answer.
//  framer:      McuFramer alone, fed the same stream into a no-op sink.
//  dispatch:    resolvePacket alone, on an unstarted link, with the stand-ins.
//  stand-in:    the stand-in receivers called directly, to tell their share.
//  eventfilter: MEventFilter::eventFilter for events that are not key presses.

#include "alloccount.h"
#include "linkrig.h"

#include "basecontrol.h"
#include "mainappprotocolcomm.h"
#include "mcuframer.h"
#include "meventfilter.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QTimerEvent>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

using bench::Mix;

void reportPerRecord(benchmark::State &state, uint64_t allocations, double records)
{
    state.counters["allocs"] = double(allocations);
    state.counters["allocs_per_record"] = double(allocations) / records;
}

void allocLink(benchmark::State &state, Mix mix)
{
    const bench::RecordStream stream = bench::makeStream(mix, int(state.range(0)));
    bench::StartedLink link;
    if (!link.ok()) {
        state.SkipWithError("the link did not connect");
        return;
    }
    bench::pushStream(link.peer(), stream); // warm-up
    uint64_t allocations = 0;
    for (auto _ : state) {
        bench::AllocationScope scope;
        if (!bench::pushStream(link.peer(), stream)) {
            state.SkipWithError("a batch was not answered");
            return;
        }
        allocations += scope.count();
    }
    // Each batch carries one sentinel record besides its records.
    reportPerRecord(state, allocations, double(stream.records + 1) * double(state.iterations()));
}

void BM_AllocLinkShort(benchmark::State &state) { allocLink(state, Mix::Short); }
void BM_AllocLinkLong(benchmark::State &state) { allocLink(state, Mix::Long); }
void BM_AllocLinkMix(benchmark::State &state) { allocLink(state, Mix::Alternate); }

void BM_AllocFramer(benchmark::State &state)
{
    const bench::RecordStream stream = bench::makeStream(Mix::Alternate, int(state.range(0)));
    auto framer = std::make_unique<McuFramer>();
    uint64_t records = 0;
    auto sink = [&records](const McuFramer::Record &rec) {
        benchmark::DoNotOptimize(rec.data);
        ++records;
    };
    framer->feed(stream.bytes.data(), stream.bytes.size(), sink);
    records = 0;
    uint64_t allocations = 0;
    {
        bench::AllocationScope scope;
        for (auto _ : state)
            framer->feed(stream.bytes.data(), stream.bytes.size(), sink);
        allocations = scope.count();
    }
    state.SetItemsProcessed(int64_t(records));
    reportPerRecord(state, allocations, double(records));
}

// Dispatches one record of each kind the receive benchmarks send.
void BM_AllocDispatch(benchmark::State &state)
{
    tamoappframework::MainAppProtocolComm::DeleteInstance();
    auto *comm = tamoappframework::MainAppProtocolComm::GetInstance(); // not started
    McuShortMsg key = bench::shortRecord(MSG_M2A_KEY_PRESSED, 3, 1);
    McuShortMsg param = bench::sentinel();
    tag_MCUSRV_TO_MAIN_APP_T longRec = bench::longRecord(57, mcu::kIncomingRecordSize, 0x5a);
    auto *keyBytes = reinterpret_cast<unsigned char *>(&key);
    auto *paramBytes = reinterpret_cast<unsigned char *>(&param);
    auto *longBytes = reinterpret_cast<unsigned char *>(&longRec);
    const int which = int(state.range(0));
    unsigned char *record = which == 0 ? keyBytes : which == 1 ? longBytes : paramBytes;
    comm->resolvePacket(record);
    uint64_t allocations = 0;
    {
        bench::AllocationScope scope;
        for (auto _ : state)
            comm->resolvePacket(record);
        allocations = scope.count();
    }
    state.SetLabel(which == 0 ? "short 13078" : which == 1 ? "long 57" : "short 529/13");
    state.SetItemsProcessed(int64_t(state.iterations()));
    reportPerRecord(state, allocations, double(state.iterations()));
    tamoappframework::MainAppProtocolComm::DeleteInstance();
}

void BM_AllocStandIn(benchmark::State &state)
{
    BaseControl *control = BaseControl::getInstance();
    const tag_MCUSRV_TO_MAIN_APP_T longRec = bench::longRecord(57, mcu::kIncomingRecordSize, 0x5a);
    const bool key = state.range(0) == 0;
    uint64_t allocations = 0;
    {
        bench::AllocationScope scope;
        for (auto _ : state) {
            if (key)
                control->sendMcuKeyPressedSignal(3, 1);
            else
                control->RecevieMsgFromMcu(longRec);
        }
        allocations = scope.count();
    }
    state.SetLabel(key ? "sendMcuKeyPressedSignal" : "RecevieMsgFromMcu");
    reportPerRecord(state, allocations, double(state.iterations()));
}

// Events the filter sees all the time that are not key presses.
void BM_EventFilter(benchmark::State &state)
{
    MEventFilter *filter = MEventFilter::GetInstance();
    QObject watched;
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
    QMouseEvent move(QEvent::MouseMove, QPointF(10, 10), QPointF(10, 10), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QPaintEvent paint(QRect(0, 0, 1024, 600));
    QTimerEvent timer(1);
    QEvent *events[] = {&release, &move, &paint, &timer};
    filter->eventFilter(&watched, events[0]);
    uint64_t allocations = 0;
    uint64_t seen = 0;
    bool consumed = false;
    {
        bench::AllocationScope scope;
        for (auto _ : state) {
            for (QEvent *e : events)
                consumed |= filter->eventFilter(&watched, e);
            seen += 4;
        }
        allocations = scope.count();
    }
    if (consumed)
        state.SkipWithError("the filter consumed an event");
    state.SetItemsProcessed(int64_t(seen));
    state.counters["allocs"] = double(allocations);
    state.counters["allocs_per_event"] = double(allocations) / double(seen);
    MEventFilter::DeleteInstance();
}

} // namespace

BENCHMARK(BM_AllocLinkShort)->Arg(4096)->Iterations(20);
BENCHMARK(BM_AllocLinkLong)->Arg(4096)->Iterations(20);
BENCHMARK(BM_AllocLinkMix)->Arg(4096)->Iterations(20);
BENCHMARK(BM_AllocFramer)->Arg(4096);
BENCHMARK(BM_AllocDispatch)->ArgName("record")->DenseRange(0, 2);
BENCHMARK(BM_AllocStandIn)->ArgName("call")->DenseRange(0, 1);
BENCHMARK(BM_EventFilter);

namespace {

// Proves the counter sees allocations: one QString of its own per iteration.
void BM_AllocProbe(benchmark::State &state)
{
    uint64_t allocations = 0;
    {
        bench::AllocationScope scope;
        for (auto _ : state) {
            QString s = QString::number(state.iterations() + 1000000);
            benchmark::DoNotOptimize(s.constData());
        }
        allocations = scope.count();
    }
    reportPerRecord(state, allocations, double(state.iterations()));
}

} // namespace

BENCHMARK(BM_AllocProbe);

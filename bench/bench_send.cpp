// Send path: 1, 4 and 16 threads sending short (16 B) and long (264 B) records
// through SendData (offered again while the link's queue is full) to a draining peer, against as many threads writing the
// same records in a bare loop (a plain mutex around each write) to the same
// kind of socket pair. Equal thread counts keep the two sides' share of a
// busy machine's CPU equal. The peer checks that
// every record arrives whole and that each sender's records keep their order,
// so interleaving on the socket would show as corrupt records.

#include "linkrig.h"

#include "mainappprotocolcomm.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kMaxSenders = 16;

// Record `seq` of sender `thread`, `size` bytes: every byte follows from the two.
void buildRecord(unsigned char *out, int size, uint32_t thread, uint32_t seq)
{
    if (size == mcu::kShortRecordSize) {
        const McuShortMsg m = bench::shortRecord(thread, seq, seq ^ 0xA5A5A5A5u);
        std::memcpy(out, &m, sizeof m);
        return;
    }
    McuLongMsg m;
    m.kind = mcu::kKindMcu;
    m.id = thread;
    mcu::storeLe32(m.payload, seq);
    std::memset(m.payload + 4, int((thread * 7 + seq) & 0xff), sizeof m.payload - 4);
    std::memcpy(out, &m, sizeof m);
}

// Reads everything the other end writes and checks it record by record.
class Drainer
{
public:
    Drainer(int fd, int recordSize) : m_fd(fd), m_size(recordSize)
    {
        m_thread = std::thread([this] { run(); });
    }
    ~Drainer()
    {
        ::shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
    }

    // Expect `records` records from `senders` senders, numbered from 0 each.
    void arm(uint64_t records, int senders)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_expected = records;
        m_got = 0;
        m_dropped = 0;
        m_senders = senders;
        for (uint32_t &n : m_next)
            n = 0;
    }
    // Waits until the expected count arrived (less `dropped`); returns how
    // many records are missing after a generous deadline (0 normally).
    uint64_t wait(uint64_t dropped)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_dropped = dropped;
        m_cv.wait_for(lock, std::chrono::seconds(20),
                      [&] { return m_got + dropped >= m_expected || m_eof; });
        return m_got + dropped >= m_expected ? 0 : m_expected - m_got - dropped;
    }
    uint64_t corrupt() const { return m_corrupt.load(); }
    uint64_t reordered() const { return m_reordered.load(); }

private:
    void check(const unsigned char *rec)
    {
        const uint32_t thread = mcu::loadLe32(rec + 4);
        const uint32_t seq = mcu::loadLe32(rec + 8);
        if (thread >= uint32_t(m_senders)) {
            ++m_corrupt;
            return;
        }
        unsigned char want[mcu::kLongRecordSize];
        buildRecord(want, m_size, thread, seq);
        if (std::memcmp(rec, want, size_t(m_size)) != 0) {
            ++m_corrupt;
            return;
        }
        // A dropped record leaves a gap; a step back is out of order.
        if (seq < m_next[thread])
            ++m_reordered;
        m_next[thread] = seq + 1;
    }

    void run()
    {
        std::vector<unsigned char> buf(1 << 16);
        size_t held = 0;
        for (;;) {
            const ssize_t n = ::read(m_fd, buf.data() + held, buf.size() - held);
            if (n <= 0)
                break;
            held += size_t(n);
            size_t off = 0;
            uint64_t whole = 0;
            std::lock_guard<std::mutex> lock(m_mutex);
            for (; held - off >= size_t(m_size); off += size_t(m_size), ++whole)
                check(buf.data() + off);
            std::memmove(buf.data(), buf.data() + off, held - off);
            held -= off;
            m_got += whole;
            if (whole && m_got + m_dropped >= m_expected)
                m_cv.notify_all();
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_eof = true;
        m_cv.notify_all();
    }

    int m_fd;
    int m_size;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    uint64_t m_expected = 0;
    uint64_t m_got = 0;
    uint64_t m_dropped = 0; // records the senders gave up on
    int m_senders = 1;
    bool m_eof = false;
    uint32_t m_next[kMaxSenders] = {};
    std::atomic<uint64_t> m_corrupt{0};
    std::atomic<uint64_t> m_reordered{0};
};

// Runs `senders` threads, each sending `perThread` records with `send`; the
// clock starts when all of them are waiting at the gate. Returns seconds.
template <class Send>
double runSenders(int senders, int perThread, int size, Drainer &drainer,
                  std::atomic<uint64_t> &dropped, uint64_t &lost, Send send)
{
    std::mutex gateMutex;
    std::condition_variable gate;
    int waiting = 0;
    bool open = false;
    std::vector<std::thread> threads;
    dropped = 0;
    drainer.arm(uint64_t(senders) * uint64_t(perThread), senders);
    for (int t = 0; t < senders; ++t) {
        threads.emplace_back([&, t] {
            {
                std::unique_lock<std::mutex> lock(gateMutex);
                ++waiting;
                gate.notify_all();
                gate.wait(lock, [&] { return open; });
            }
            unsigned char rec[mcu::kLongRecordSize];
            for (int i = 0; i < perThread; ++i) {
                buildRecord(rec, size, uint32_t(t), uint32_t(i));
                if (!send(rec, size))
                    dropped.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    {
        std::unique_lock<std::mutex> lock(gateMutex);
        gate.wait(lock, [&] { return waiting == senders; });
        open = true;
    }
    const uint64_t t0 = bench::monotonicNs();
    gate.notify_all();
    for (std::thread &th : threads)
        th.join();
    lost += drainer.wait(dropped.load());
    const uint64_t t1 = bench::monotonicNs();
    return double(t1 - t0) * 1e-9;
}

void BM_Send(benchmark::State &state)
{
    const int senders = int(state.range(0));
    const int size = int(state.range(1));
    const int total = size == mcu::kShortRecordSize ? 32768 : 8192;
    const int perThread = total / senders;

    bench::StartedLink link;
    if (!link.ok()) {
        state.SkipWithError("the link did not connect");
        return;
    }
    tamoappframework::MainAppProtocolComm *comm = link.link();
    Drainer linkDrain(link.peer(), size);
    bench::SocketPair barePair;
    Drainer bareDrain(barePair.b, size);
    const int bareFd = barePair.a;

    // SendData never waits for the socket: a full queue gives -1 at once. A
    // sender that must deliver every record, as the bare loop does, offers it
    // again; a record still refused after a second is counted as dropped.
    auto viaLink = [comm](unsigned char *rec, int n) {
        const uint64_t giveUp = bench::monotonicNs() + 1000000000ull;
        while (comm->SendData(rec, n) != 0) {
            if (bench::monotonicNs() > giveUp)
                return false;
            std::this_thread::yield();
        }
        return true;
    };
    std::mutex bareMutex;
    auto bare = [bareFd, &bareMutex](unsigned char *rec, int n) {
        std::lock_guard<std::mutex> lock(bareMutex);
        return bench::writeAll(bareFd, rec, size_t(n));
    };

    std::atomic<uint64_t> dropped{0};
    uint64_t droppedTotal = 0;
    uint64_t lost = 0;
    double linkSeconds = 0, bareSeconds = 0;
    for (auto _ : state) {
        const double l = runSenders(senders, perThread, size, linkDrain, dropped, lost, viaLink);
        droppedTotal += dropped.load();
        const double b = runSenders(senders, perThread, size, bareDrain, dropped, lost, bare);
        if (lost) {
            state.SkipWithError("records reported as sent never arrived");
            break;
        }
        linkSeconds += l;
        bareSeconds += b;
        state.SetIterationTime(l);
    }
    const double n = double(perThread) * senders * double(state.iterations());
    state.SetItemsProcessed(int64_t(n));
    state.counters["link_rec_s"] = n / linkSeconds;
    state.counters["bare_rec_s"] = n / bareSeconds;
    state.counters["ratio"] = bareSeconds / linkSeconds;
    state.counters["dropped"] = double(droppedTotal);
    state.counters["lost"] = double(lost);
    state.counters["corrupt"] = double(linkDrain.corrupt() + bareDrain.corrupt());
    state.counters["reordered"] = double(linkDrain.reordered() + bareDrain.reordered());
}

} // namespace

BENCHMARK(BM_Send)
    ->ArgNames({"threads", "bytes"})
    ->ArgsProduct({{1, 4, 16}, {mcu::kShortRecordSize, mcu::kLongRecordSize}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

#include "faultmode.h"

#include "codec.h"
#include "faultmodecounters.h"
#include "mcurecords.h"
#include "scenario.h"
#include "service.h"
#include "simulator.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>

#include <grp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace mcusim {

namespace {

using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "usage: mcusim --serve MODE [options]\n"
    "A service that does one thing, for fault tests and benchmarks. Prints \"listening\"\n"
    "once and \"accepted\" for every connection; runs until killed unless said otherwise.\n"
    "\n"
    "Modes:\n"
    "  count    takes one connection after another and reads (and counts) what the\n"
    "           launcher sends until it closes\n"
    "  pair     as count, on socket pairs of its own: one end of each goes over the\n"
    "           Unix socket --ctl-fd (SCM_RIGHTS); ends when nobody takes it\n"
    "  stream   takes one connection and writes short records 60001 (p1 the sequence\n"
    "           number from --first, p2 the --round) at about 4 a millisecond, every\n"
    "           fourth in two writes 1 ms apart\n"
    "  garbage  for --for: connection after connection, each a marker record 60002\n"
    "           (p1 the connection's number), then about 700 ms of malformed input\n"
    "           (reproducible from --seed), then closed; exits 0 at the end\n"
    "\n"
    "Options:\n"
    "  -n, --name NAME   as the simulator's (default quillhaven)\n"
    "  --clock SECS      count, pair: each connection first gets the MCU clock SECS\n"
    "  --traffic N       count: N records a second to each connection, in 10 ms\n"
    "                    batches: long records 57 of 268 bytes, every tenth a key\n"
    "                    press 13078, pressed and released in turn\n"
    "  --round R, --first N   stream: p2 of every record, p1 of the first\n"
    "  --for DUR         garbage: how long (e.g. 60s)\n"
    "  --seed S          garbage: seed of the malformed input (default 1)\n"
    "  --ctl-fd FD       pair: where the ends go\n"
    "  --shm FILE        move the counters of a page in FILE (made by the caller)\n"
    "  --netns PATH      enter that network namespace first\n"
    "  --uid UID         then run as that user (and group number)\n";

struct Options {
    std::string mode;
    std::string name = "@quillhaven";
    std::string shm;
    std::string netns;
    long uid = -1;
    long clockSecs = -1;
    long traffic = 0;
    uint32_t round = 0;
    uint32_t first = 0;
    int durationMs = 0;
    uint64_t seed = 1;
    int ctlFd = -1;
};

ServeCounters g_private{};          // when no page is shared
ServeCounters *g_counters = &g_private;

[[noreturn]] void fail(const std::string &what, int error = errno)
{
    g_counters->error.store(error ? error : -1);
    std::fprintf(stderr, "mcusim: %s: %s\n", what.c_str(), error ? std::strerror(error) : "failed");
    std::_Exit(kExitFailed);
}

void say(const char *line)
{
    std::printf("%s\n", line);
    std::fflush(stdout);
}

// A load generator's pace, not a wait for anything.
void pauseFor(std::chrono::microseconds us)
{
    timespec t{time_t(us.count() / 1000000), long(us.count() % 1000000) * 1000};
    while (::clock_nanosleep(CLOCK_MONOTONIC, 0, &t, &t) == EINTR) {
    }
}

bool sendCounted(Service &service, const void *data, size_t n, std::chrono::milliseconds limit = 10s)
{
    if (!service.send(data, n, limit))
        return false;
    g_counters->bytesSent.fetch_add(n);
    return true;
}
bool sendCounted(Service &service, const Bytes &bytes, std::chrono::milliseconds limit = 10s)
{
    return sendCounted(service, bytes.data(), bytes.size(), limit);
}

void listenOrFail(Service &service)
{
    if (!service.listen()) {
        std::fprintf(stderr, "mcusim: cannot listen on %s: %s\n", service.name().c_str(),
                     service.error().c_str());
        g_counters->error.store(-1);
        std::_Exit(kExitSocket);
    }
    g_counters->listening.store(1);
    say("listening");
}

void noteAccepted()
{
    g_counters->acceptedAtNs.store(CounterPage::monotonicNs());
    g_counters->accepted.fetch_add(1);
    say("accepted");
}

// The benchmark's traffic: record n of a connection.
Bytes trafficRecord(long n)
{
    if (n % 10 == 0)
        return encodeShort(MSG_M2A_KEY_PRESSED, 3, (n / 10) % 2 == 0 ? 1 : 0);
    return encodeLong(mcu::kKindMcu, 57, Bytes(mcu::kPayloadSize, static_cast<unsigned char>(n)));
}

// count and pair: the clock first when asked for, the traffic when asked for,
// and everything the launcher sends counted, until it closes.
void serveConnection(Service &service, const Options &o)
{
    if (o.clockSecs >= 0 && !sendCounted(service, encodeTime(uint32_t(o.clockSecs)), 5s))
        service.closeConnection();
    constexpr auto kBatch = 10ms;
    const auto start = Clock::now();
    auto nextBatch = start + kBatch;
    long sent = 0;
    while (service.connected()) {
        auto wait = kNoLimit;
        if (o.traffic > 0)
            wait = std::max(0ms, std::chrono::ceil<std::chrono::milliseconds>(nextBatch - Clock::now()));
        g_counters->bytesReceived.fetch_add(uint64_t(service.discard(wait)));
        if (o.traffic <= 0 || Clock::now() < nextBatch)
            continue;
        nextBatch += kBatch;
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const long due = long(seconds * double(o.traffic));
        // Whole records only: a launcher that stops reading holds the traffic
        // up, for 10 s at most.
        for (; sent < due && service.connected(); ++sent)
            if (!sendCounted(service, trafficRecord(sent)))
                service.closeConnection();
    }
}

[[noreturn]] void runCount(Service &service, const Options &o)
{
    listenOrFail(service);
    for (;;) {
        if (!service.accept(kNoLimit))
            fail("accept " + service.error(), 0);
        noteAccepted();
        serveConnection(service, o);
    }
}

[[noreturn]] void runPair(Service &service, const Options &o)
{
    g_counters->listening.store(1);
    for (;;) {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
            fail("socketpair");
        if (!mcusocket::sendDescriptor(o.ctlFd, sv[0]))
            std::_Exit(kExitOk); // whoever took the ends is gone
        ::close(sv[0]);
        service.adopt(sv[1]);
        noteAccepted();
        serveConnection(service, o);
    }
}

[[noreturn]] void runStream(Service &service, const Options &o)
{
    listenOrFail(service);
    if (!service.accept(kNoLimit))
        fail("accept " + service.error(), 0);
    noteAccepted();
    uint32_t seq = o.first;
    g_counters->written.store(seq);
    for (unsigned i = 1;; ++i, ++seq) {
        const Bytes r = encodeShort(kStreamMsg, seq, o.round);
        // The pause falls inside every fourth record, between its halves, so
        // that many kills leave half a record.
        bool ok;
        if (i % 4 == 0) {
            ok = sendCounted(service, r.data(), 8);
            pauseFor(std::chrono::milliseconds(1));
            ok = ok && sendCounted(service, r.data() + 8, 8);
        } else {
            ok = sendCounted(service, r);
        }
        if (!ok)
            fail("send " + service.error(), 0);
        g_counters->written.store(seq + 1);
    }
}

// xorshift64*: the garbage is reproducible from --seed.
struct Random {
    uint64_t s;
    uint64_t next()
    {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 2685821657736338717ull;
    }
    uint32_t below(uint32_t n) { return uint32_t(next() % n); }
};

// One chunk of malformed input into buf (at most 2400 bytes); returns its size.
// Sets *frames when the chunk starts a record that frames whatever follows.
size_t garbageChunk(Random &rnd, unsigned char *buf, bool *frames)
{
    static const uint32_t kinds[] = {0, 2, 3, 4, 9, 0xffffffffu};
    static const uint32_t badLengths[] = {0,    1,      2,      3,          4,          5,
                                          6,    7,      8,      9,          10,         11,
                                          2049, 4096,   65535,  0x7fffffffu, 0xfffffffeu, 0xffffffffu};
    *frames = false;
    const uint32_t phase = rnd.below(100);
    if (phase < 60) {
        // Random bytes: kind 1 never leads, so no short record frames.
        const size_t n = 1 + rnd.below(1024);
        for (size_t i = 0; i < n; ++i)
            buf[i] = uint8_t(rnd.next() >> 32);
        if (n >= 4 && mcu::loadLe32(buf) == mcu::kKindShort)
            buf[0] = 0xee;
        return n;
    }
    if (phase < 97) {
        // A header with a length no record can have, then a random tail.
        mcu::storeLe32(buf, kinds[rnd.below(sizeof kinds / sizeof kinds[0])]);
        mcu::storeLe32(buf + 4, rnd.below(300));
        mcu::storeLe32(buf + 8, badLengths[rnd.below(sizeof badLengths / sizeof badLengths[0])]);
        const size_t tail = rnd.below(300);
        for (size_t i = 0; i < tail; ++i)
            buf[12 + i] = uint8_t(rnd.next() >> 40);
        return 12 + tail;
    }
    *frames = true;
    if (phase < 99) {
        // An oversized record (cut to 268 bytes by the link), not all of it sent.
        mcu::storeLe32(buf, 9);
        mcu::storeLe32(buf + 4, rnd.below(300));
        const uint32_t length = 269 + rnd.below(2048 - 269 + 1);
        mcu::storeLe32(buf + 8, length);
        const size_t body = rnd.below(length - 12 + 1);
        std::memset(buf + 12, 0x5a, body);
        return 12 + body;
    }
    // The first bytes of a short record; the next chunk completes it.
    const size_t n = 1 + rnd.below(15);
    const Bytes r = encodeShort(MSG_M2A_HEARTBEAT_ACK, 0, 0);
    std::memcpy(buf, r.data(), n);
    return n;
}

[[noreturn]] void runGarbage(Service &service, const Options &o)
{
    listenOrFail(service);
    const auto end = Clock::now() + std::chrono::milliseconds(o.durationMs);
    Random rnd{o.seed | 1};
    static unsigned char buf[4096];
    // A stuck launcher cannot hold the run past its end by more than this.
    constexpr auto kSendLimit = 5s;
    while (Clock::now() < end) {
        if (!service.accept(200ms))
            continue;
        noteAccepted();
        bool up = sendCounted(service, encodeShort(kMarkerMsg, g_counters->accepted.load(), 0), kSendLimit);
        if (up)
            g_counters->markers.fetch_add(1);

        // About 700 ms of garbage at about 256 KiB/s, then the connection ends.
        const auto burstStart = Clock::now();
        const auto burstEnd = std::min(end, burstStart + 700ms);
        uint64_t burstBytes = 0;
        while (up && Clock::now() < burstEnd) {
            bool frames = false;
            const size_t n = garbageChunk(rnd, buf, &frames);
            if (frames)
                g_counters->framedOnPurpose.fetch_add(1);
            up = sendCounted(service, buf, n, kSendLimit);
            g_counters->bytesReceived.fetch_add(uint64_t(service.discard(0ms)));
            up = up && service.connected();
            burstBytes += n;
            const auto due = burstStart + std::chrono::microseconds(burstBytes * 1000000 / (256 * 1024));
            if (due > Clock::now())
                pauseFor(std::chrono::duration_cast<std::chrono::microseconds>(due - Clock::now()));
        }
        // Half the connections end inside a record.
        if (up && rnd.below(2) == 0) {
            unsigned char head[100] = {};
            mcu::storeLe32(head, 9);
            mcu::storeLe32(head + 8, mcu::kIncomingRecordSize);
            sendCounted(service, head, sizeof head, kSendLimit);
        }
        service.closeConnection();
    }
    g_counters->finished.store(1);
    std::_Exit(kExitOk);
}

// A number that is whole and not negative.
template <class T>
bool parseNumber(const char *text, T *out)
{
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-' || v > std::numeric_limits<T>::max())
        return false;
    *out = T(v);
    return true;
}

// False (with a line on standard error) on anything it does not know.
bool parse(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string k = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "mcusim: %s needs a value\n", k.c_str());
            return false;
        }
        const char *v = argv[++i];
        bool ok = true;
        if (k == "--serve")
            o.mode = v;
        else if (k == "-n" || k == "--name")
            o.name = (v[0] == '/' || v[0] == '@') ? std::string(v) : "@" + std::string(v);
        else if (k == "--shm")
            o.shm = v;
        else if (k == "--netns")
            o.netns = v;
        else if (k == "--uid")
            ok = parseNumber(v, &o.uid);
        else if (k == "--clock")
            ok = parseNumber(v, &o.clockSecs);
        else if (k == "--traffic")
            ok = parseNumber(v, &o.traffic);
        else if (k == "--round")
            ok = parseNumber(v, &o.round);
        else if (k == "--first")
            ok = parseNumber(v, &o.first);
        else if (k == "--for")
            ok = parseDuration(v, &o.durationMs);
        else if (k == "--seed")
            ok = parseNumber(v, &o.seed);
        else if (k == "--ctl-fd")
            ok = parseNumber(v, &o.ctlFd);
        else {
            std::fprintf(stderr, "mcusim: unknown serve option %s\n", k.c_str());
            return false;
        }
        if (!ok) {
            std::fprintf(stderr, "mcusim: bad value for %s: %s\n", k.c_str(), v);
            return false;
        }
    }
    if (o.mode == "pair" && o.ctlFd < 0) {
        std::fprintf(stderr, "mcusim: --serve pair needs --ctl-fd\n");
        return false;
    }
    if (o.mode == "garbage" && o.durationMs <= 0) {
        std::fprintf(stderr, "mcusim: --serve garbage needs --for\n");
        return false;
    }
    return o.mode == "count" || o.mode == "pair" || o.mode == "stream" || o.mode == "garbage";
}

} // namespace

bool wantsServe(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--serve") == 0)
            return true;
    return false;
}

int runServe(int argc, char **argv)
{
    Options o;
    if (!parse(argc, argv, o)) {
        std::fputs(kUsage, o.mode == "help" ? stdout : stderr);
        return o.mode == "help" ? kExitOk : kExitUsage;
    }
    static CounterPage page; // lives until the process ends, whichever way
    if (!o.shm.empty()) {
        if (!page.open(o.shm))
            fail("--shm " + o.shm);
        g_counters = &page.counters();
    }
    if (!o.netns.empty() && !enterNetworkNamespace(o.netns))
        fail("--netns " + o.netns);
    if (o.uid >= 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid_t(o.uid)) != 0 || ::setuid(uid_t(o.uid)) != 0)
            fail("--uid " + std::to_string(o.uid));
    }

    Service service(o.name);
    if (o.mode == "pair")
        runPair(service, o);
    if (o.mode == "stream")
        runStream(service, o);
    if (o.mode == "garbage")
        runGarbage(service, o);
    runCount(service, o);
}

} // namespace mcusim

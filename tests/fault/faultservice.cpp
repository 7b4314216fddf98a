// A misbehaving or short-lived MCU service for the link's fault tests. One
// process per run, started by a test and often killed by it; it reports what
// it did through a shared page (faultshared.h).
//
//   faultservice --shm FILE --mode MODE [--name NAME] [--netns PATH] [--uid UID]
//                [--round R] [--first SEQ] [--duration-ms MS] [--seed S] [--ctl-fd FD]
//
// Modes:
//   listen   listens on NAME; each connection gets one record (a clock change),
//            then everything the link sends is counted until it closes.
//   pair     makes socket pairs and passes one end of each over the Unix socket
//            FD (SCM_RIGHTS); otherwise as listen.
//   stream   listens on NAME, takes one connection and writes short records
//            (msg kStreamMsg, p1 SEQ, SEQ+1, ..., p2 R) at a steady pace until
//            killed, some in two writes; `written` moves after each record's
//            last byte went out.
//   garbage  for MS milliseconds: takes connection after connection; each gets
//            one marker record, then malformed input, then is closed.
// --netns enters that network namespace first, --uid drops to that user next.

#include "faultshared.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using faultservice::Shared;

namespace {

struct Options {
    std::string mode;
    std::string name = "quillhaven";
    std::string netns;
    std::string shm;
    long uid = -1;
    uint32_t round = 0;
    uint32_t first = 0;
    long durationMs = 0;
    uint64_t seed = 1;
    int ctlFd = -1;
};

Shared *g_shared = nullptr;

[[noreturn]] void fail(const char *what)
{
    const int e = errno;
    if (g_shared)
        g_shared->error.store(e ? e : -1);
    std::fprintf(stderr, "faultservice: %s: %s\n", what, std::strerror(e));
    std::_Exit(1);
}

int64_t nowNs()
{
    timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void pause(long us)
{
    timespec t{us / 1000000, (us % 1000000) * 1000};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

void storeLe32(unsigned char *p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

void shortRecord(unsigned char *r, uint32_t msg, uint32_t p1, uint32_t p2)
{
    storeLe32(r, 1);
    storeLe32(r + 4, msg);
    storeLe32(r + 8, p1);
    storeLe32(r + 12, p2);
}

// False when the peer is gone (never SIGPIPE).
bool sendAll(int fd, const void *data, size_t len)
{
    auto *p = static_cast<const unsigned char *>(data);
    while (len > 0) {
        const ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= size_t(n);
        g_shared->bytesSent.fetch_add(uint64_t(n));
    }
    return true;
}

// Reads what is there without waiting; false once the peer has closed.
bool drain(int fd)
{
    unsigned char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            g_shared->bytesReceived.fetch_add(uint64_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

// Counts what the link sends until it closes its end.
void countUntilClosed(int fd)
{
    unsigned char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n > 0)
            g_shared->bytesReceived.fetch_add(uint64_t(n));
        else if (n == 0 || errno != EINTR)
            return;
    }
}

int listenOn(const std::string &name)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail("socket");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t n = std::min(name.size(), sizeof addr.sun_path - 1);
    std::memcpy(addr.sun_path + 1, name.data(), n);
    const socklen_t len = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + n);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), len) != 0)
        fail("bind");
    if (::listen(fd, 4) != 0)
        fail("listen");
    g_shared->listening.store(1);
    return fd;
}

// -1 when nothing came within timeoutMs (negative: no limit).
int acceptOne(int listener, int timeoutMs)
{
    pollfd p{listener, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    if (r <= 0)
        return -1;
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return -1;
    g_shared->acceptedAtNs.store(nowNs());
    g_shared->accepted.fetch_add(1);
    return fd;
}

// What an impostor would send first: the MCU clock set to 2001-09-09.
void sendClockChange(int fd)
{
    unsigned char r[268] = {};
    storeLe32(r, 2);
    storeLe32(r + 4, 12);
    storeLe32(r + 8, 17);
    r[12] = 4;
    r[13] = 0x3b;
    r[14] = 0x9a;
    r[15] = 0xca;
    r[16] = 0x00;
    sendAll(fd, r, 17);
}

[[noreturn]] void runListen(const Options &o)
{
    const int listener = listenOn(o.name);
    for (;;) {
        const int fd = acceptOne(listener, -1);
        if (fd < 0)
            continue;
        sendClockChange(fd);
        countUntilClosed(fd);
        ::close(fd);
    }
}

[[noreturn]] void runPair(const Options &o)
{
    g_shared->listening.store(1);
    for (;;) {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
            fail("socketpair");
        char token = 'p';
        iovec iov{&token, 1};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &sv[0], sizeof(int));
        ssize_t n;
        do {
            n = ::sendmsg(o.ctlFd, &msg, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n != 1)
            std::_Exit(0); // the test is gone
        ::close(sv[0]);
        g_shared->acceptedAtNs.store(nowNs());
        g_shared->accepted.fetch_add(1);
        sendClockChange(sv[1]);
        countUntilClosed(sv[1]);
        ::close(sv[1]);
    }
}

[[noreturn]] void runStream(const Options &o)
{
    const int listener = listenOn(o.name);
    const int fd = acceptOne(listener, -1);
    if (fd < 0)
        fail("accept");
    uint32_t seq = o.first;
    g_shared->written.store(seq);
    for (unsigned i = 1;; ++i, ++seq) {
        unsigned char r[16];
        shortRecord(r, faultservice::kStreamMsg, seq, o.round);
        // About 4 records a millisecond. The pause falls inside every fourth
        // record, between its halves, so that many kills leave half a record.
        bool ok;
        if (i % 4 == 0) {
            ok = sendAll(fd, r, 8);
            pause(1000);
            ok = ok && sendAll(fd, r + 8, 8);
        } else {
            ok = sendAll(fd, r, 16);
        }
        if (!ok)
            fail("send");
        g_shared->written.store(seq + 1);
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
        if (n >= 4 && buf[0] == 1 && buf[1] == 0 && buf[2] == 0 && buf[3] == 0)
            buf[0] = 0xee;
        return n;
    }
    if (phase < 97) {
        // A header with a length no record can have, then a random tail.
        storeLe32(buf, kinds[rnd.below(sizeof kinds / sizeof kinds[0])]);
        storeLe32(buf + 4, rnd.below(300));
        storeLe32(buf + 8, badLengths[rnd.below(sizeof badLengths / sizeof badLengths[0])]);
        const size_t tail = rnd.below(300);
        for (size_t i = 0; i < tail; ++i)
            buf[12 + i] = uint8_t(rnd.next() >> 40);
        return 12 + tail;
    }
    *frames = true;
    if (phase < 99) {
        // An oversized record (cut to 268 bytes by the link), not all of it sent.
        storeLe32(buf, 9);
        storeLe32(buf + 4, rnd.below(300));
        const uint32_t length = 269 + rnd.below(2048 - 269 + 1);
        storeLe32(buf + 8, length);
        const size_t body = rnd.below(length - 12 + 1);
        std::memset(buf + 12, 0x5a, body);
        return 12 + body;
    }
    // The first bytes of a short record; the next chunk completes it.
    const size_t n = 1 + rnd.below(15);
    unsigned char r[16];
    shortRecord(r, 28929, 0, 0);
    std::memcpy(buf, r, n);
    return n;
}

[[noreturn]] void runGarbage(const Options &o)
{
    const int listener = listenOn(o.name);
    const int64_t end = nowNs() + int64_t(o.durationMs) * 1000000;
    Random rnd{o.seed | 1};
    static unsigned char buf[4096];
    while (nowNs() < end) {
        const int fd = acceptOne(listener, 200);
        if (fd < 0)
            continue;
        const timeval sendLimit{5, 0}; // a stuck launcher cannot hold the run past its end
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);

        unsigned char marker[16];
        shortRecord(marker, faultservice::kMarkerMsg, g_shared->accepted.load(), 0);
        bool up = sendAll(fd, marker, sizeof marker);
        if (up)
            g_shared->markers.fetch_add(1);

        // About 700 ms of garbage at about 256 KiB/s, then the connection ends.
        const int64_t burstEnd = std::min<int64_t>(end, nowNs() + int64_t(700) * 1000000);
        uint64_t burstBytes = 0;
        const int64_t burstStart = nowNs();
        while (up && nowNs() < burstEnd) {
            bool frames = false;
            const size_t n = garbageChunk(rnd, buf, &frames);
            if (frames)
                g_shared->framedOnPurpose.fetch_add(1);
            up = sendAll(fd, buf, n) && drain(fd);
            burstBytes += n;
            const int64_t due = burstStart + int64_t(burstBytes) * 1000000000 / (256 * 1024);
            const int64_t ahead = due - nowNs();
            if (ahead > 0)
                pause(long(ahead / 1000));
        }
        // Half the connections end inside a record.
        if (up && rnd.below(2) == 0) {
            unsigned char head[100] = {};
            storeLe32(head, 9);
            storeLe32(head + 8, 268);
            sendAll(fd, head, sizeof head);
        }
        ::close(fd);
    }
    g_shared->finished.store(1);
    std::_Exit(0);
}

bool parse(int argc, char **argv, Options &o)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const char *v = argv[i + 1];
        if (k == "--mode")
            o.mode = v;
        else if (k == "--name")
            o.name = v;
        else if (k == "--netns")
            o.netns = v;
        else if (k == "--shm")
            o.shm = v;
        else if (k == "--uid")
            o.uid = std::strtol(v, nullptr, 10);
        else if (k == "--round")
            o.round = uint32_t(std::strtoul(v, nullptr, 10));
        else if (k == "--first")
            o.first = uint32_t(std::strtoul(v, nullptr, 10));
        else if (k == "--duration-ms")
            o.durationMs = std::strtol(v, nullptr, 10);
        else if (k == "--seed")
            o.seed = std::strtoull(v, nullptr, 10);
        else if (k == "--ctl-fd")
            o.ctlFd = int(std::strtol(v, nullptr, 10));
        else
            return false;
    }
    return (argc % 2) == 1 && !o.mode.empty() && !o.shm.empty();
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "usage: faultservice --shm FILE --mode listen|pair|stream|garbage "
                             "[--name N] [--netns P] [--uid U] [--round R] [--first S] "
                             "[--duration-ms MS] [--seed S] [--ctl-fd FD]\n");
        return 2;
    }
    const int shm = ::open(o.shm.c_str(), O_RDWR | O_CLOEXEC);
    if (shm < 0)
        fail("open --shm");
    void *page = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, shm, 0);
    if (page == MAP_FAILED)
        fail("mmap --shm");
    ::close(shm);
    g_shared = static_cast<Shared *>(page);

    if (!o.netns.empty()) {
        const int ns = ::open(o.netns.c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0)
            fail("setns");
        ::close(ns);
    }
    if (o.uid >= 0) {
        const gid_t gid = gid_t(o.uid);
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid_t(o.uid)) != 0)
            fail("drop to --uid");
    }

    if (o.mode == "listen")
        runListen(o);
    if (o.mode == "pair" && o.ctlFd >= 0)
        runPair(o);
    if (o.mode == "stream")
        runStream(o);
    if (o.mode == "garbage")
        runGarbage(o);
    std::fprintf(stderr, "faultservice: unknown mode %s\n", o.mode.c_str());
    return 2;
}

// An MCU service for the whole-process benchmarks: listens on an abstract
// Unix-domain name (default "quillhaven"), accepts every connection and reads
// and discards what arrives. Prints "accepted" on standard output for each
// connection. Runs until killed.
//
// Silent by default (the idle benchmark). With --traffic N it sends each
// connection N records a second, in 10 ms batches: long records 57 of 268
// bytes, and every tenth a short key press 13078, pressed and released in
// turn (the memory benchmark's traffic).

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mcurecords.h"

#include <chrono>

#include <poll.h>
#include <sys/types.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>

namespace {

// Whole records only: one cut short would shift every record after it. A
// launcher that stops reading holds the traffic up (this is a benchmark's
// peer, not a service); one that is gone ends the record, and poll() then
// sees the connection closed.
void sendRecord(int fd, const void *data, size_t n)
{
    auto *p = static_cast<const char *>(data);
    while (n > 0) {
        const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return;
        p += k;
        n -= size_t(k);
    }
}

void sendTraffic(int fd, long &sequence)
{
    const long n = sequence++;
    if (n % 10 == 0) {
        McuShortMsg key{};
        key.kind = mcu::kKindShort;
        key.msg = MSG_M2A_KEY_PRESSED;
        key.p1 = 3;
        key.p2 = (n / 10) % 2 == 0 ? 1 : 0;
        sendRecord(fd, &key, sizeof key);
        return;
    }
    tag_MCUSRV_TO_MAIN_APP_T record;
    std::memset(&record, 0, sizeof record);
    record.kind = mcu::kKindMcu;
    record.id = 57;
    record.length = mcu::kIncomingRecordSize;
    std::memset(record.payload, int(n & 0xff), sizeof record.payload);
    sendRecord(fd, &record, sizeof record);
}

} // namespace

int main(int argc, char **argv)
{
    const char *name = "quillhaven";
    long perSecond = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--traffic") == 0 && i + 1 < argc)
            perSecond = std::strtol(argv[++i], nullptr, 10);
        else
            name = argv[i];
    }
    const size_t len = std::strlen(name);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (len == 0 || len + 1 > sizeof addr.sun_path) {
        std::fprintf(stderr, "mcuservice: bad name\n");
        return 2;
    }
    std::memcpy(addr.sun_path + 1, name, len);
    const socklen_t addrLen = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + len);

    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&addr), addrLen) != 0 ||
        ::listen(listener, 4) != 0) {
        std::fprintf(stderr, "mcuservice: cannot listen on @%s: %s\n", name, std::strerror(errno));
        return 1;
    }
    std::printf("listening\n");
    std::fflush(stdout);

    std::vector<pollfd> fds{{listener, POLLIN, 0}};
    char buf[4096];
    using Clock = std::chrono::steady_clock;
    constexpr auto kBatch = std::chrono::milliseconds(10);
    auto nextBatch = Clock::now() + kBatch;
    long sent = 0;    // records due so far, over all batches
    long sequence = 0;
    const auto start = Clock::now();
    for (;;) {
        int timeout = -1;
        if (perSecond > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextBatch - Clock::now());
            timeout = left.count() > 0 ? int(left.count()) : 0;
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (perSecond > 0 && Clock::now() >= nextBatch) {
            nextBatch += kBatch;
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            const long due = long(seconds * double(perSecond));
            for (; sent < due; ++sent)
                for (size_t i = 1; i < fds.size(); ++i)
                    sendTraffic(fds[i].fd, sequence);
        }
        for (size_t i = fds.size(); i-- > 1;) {
            if (!fds[i].revents)
                continue;
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                ::close(fds[i].fd);
                fds.erase(fds.begin() + long(i));
            }
        }
        if (fds[0].revents & POLLIN) {
            const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                fds.push_back({c, POLLIN, 0});
                std::printf("accepted\n");
                std::fflush(stdout);
            }
        }
    }
}

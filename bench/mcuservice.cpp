// A silent MCU service for the idle benchmark: listens on an abstract
// Unix-domain name (default "quillhaven"), accepts every connection and reads
// and discards what arrives, sending nothing. Prints "accepted" on standard
// output for each connection. Runs until killed.

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>

int main(int argc, char **argv)
{
    const char *name = argc > 1 ? argv[1] : "quillhaven";
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
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
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

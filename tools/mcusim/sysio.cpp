#include "sysio.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace mcusim::sysio {

namespace {

bool makeAddress(const std::string &name, sockaddr_un *addr, socklen_t *len, std::string *error)
{
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (!name.empty() && name[0] == '/') {
        if (name.size() >= sizeof addr->sun_path) {
            *error = "socket path too long: " + name;
            return false;
        }
        std::memcpy(addr->sun_path, name.data(), name.size());
        *len = socklen_t(offsetof(sockaddr_un, sun_path) + name.size() + 1);
        return true;
    }
    const std::string abstract = !name.empty() && name[0] == '@' ? name.substr(1) : name;
    if (abstract.empty() || abstract.size() + 1 > sizeof addr->sun_path) {
        *error = "bad abstract socket name: '" + name + "'";
        return false;
    }
    // sun_path[0] stays 0: the abstract namespace.
    std::memcpy(addr->sun_path + 1, abstract.data(), abstract.size());
    *len = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + abstract.size());
    return true;
}

std::string errnoText(const char *what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

} // namespace

int listenOn(const std::string &name, std::string *error)
{
    sockaddr_un addr;
    socklen_t len;
    if (!makeAddress(name, &addr, &len, error))
        return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = errnoText("socket");
        return -1;
    }
    if (name[0] == '/')
        ::unlink(name.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), len) < 0) {
        *error = errnoText(("bind " + name).c_str());
        closeFd(fd);
        return -1;
    }
    if (::listen(fd, 4) < 0) {
        *error = errnoText("listen");
        closeFd(fd);
        return -1;
    }
    return fd;
}

int connectTo(const std::string &name, std::string *error)
{
    sockaddr_un addr;
    socklen_t len;
    if (!makeAddress(name, &addr, &len, error))
        return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errnoText("socket");
        return -1;
    }
    int r;
    do {
        r = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), len);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        *error = errnoText(("connect " + name).c_str());
        closeFd(fd);
        return -1;
    }
    return fd;
}

int acceptOne(int listenFd)
{
    for (;;) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0 && errno == EINTR)
            continue;
        return fd;
    }
}

ssize_t readSome(int fd, void *buf, size_t n)
{
    for (;;) {
        ssize_t r = ::read(fd, buf, n);
        if (r < 0 && errno == EINTR)
            continue;
        return r;
    }
}

bool sendAll(int fd, const void *data, size_t n, int timeoutMs, std::string *error)
{
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeoutMs);
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w > 0) {
            p += w;
            n -= size_t(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
            if (left.count() <= 0) {
                *error = "the launcher takes no more bytes (send timed out)";
                return false;
            }
            pollfd pfd{fd, POLLOUT, 0};
            int r = ::poll(&pfd, 1, int(left.count()));
            if (r < 0 && errno != EINTR) {
                *error = errnoText("poll");
                return false;
            }
            continue;
        }
        *error = w == 0 ? std::string("send wrote nothing") : errnoText("send");
        return false;
    }
    return true;
}

ssize_t sendNow(int fd, const void *data, size_t n)
{
    for (;;) {
        const ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && errno == EINTR)
            continue;
        return w;
    }
}

void closeFd(int fd)
{
    if (fd >= 0)
        ::close(fd); // not retried on EINTR: on Linux the descriptor is gone either way
}

} // namespace mcusim::sysio

#include "mcusocket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstddef>

#include <fcntl.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

namespace mcusocket {

namespace {

socklen_t clampLength(socklen_t length)
{
    return std::min<socklen_t>(length, socklen_t(sizeof(sockaddr_un)));
}

} // namespace

timespec deadlineAfter(long ms)
{
    timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += (ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        ++t.tv_sec;
    }
    return t;
}

int msUntil(const timespec &deadline)
{
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ns = (long long)(deadline.tv_sec - now.tv_sec) * 1000000000LL +
                         (deadline.tv_nsec - now.tv_nsec);
    if (ns <= 0)
        return 0;
    return int((ns + 999999) / 1000000);
}

// poll() that a signal does not end, nor extend: the time left is taken
// anew after each interruption, so signals at any rate cannot push the
// deadline out.
static int pollRetrying(pollfd *fds, nfds_t n, int timeoutMs)
{
    const timespec deadline = deadlineAfter(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        const int r = ::poll(fds, n, timeoutMs < 0 ? -1 : msUntil(deadline));
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

bool fillAddress(sockaddr_un &addr, const std::string &name, socklen_t *length)
{
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    const bool abstract = !name.empty() && name[0] == '@';
    if (name.size() < (abstract ? 2u : 1u) || name.size() > sizeof addr.sun_path - 1)
        return false;
    std::memcpy(addr.sun_path, name.data(), name.size());
    if (abstract)
        addr.sun_path[0] = '\0';
    if (length)
        *length = socklen_t(offsetof(sockaddr_un, sun_path) + name.size() + (abstract ? 0 : 1));
    return true;
}

int connectTo(const McuEndpoint &endpoint, sockaddr_un *localAddr, int *error)
{
    *error = 0;
    sockaddr_un service;
    if (!fillAddress(service, endpoint.servicePath)) {
        *error = ENAMETOOLONG;
        return -1;
    }

    // Non-blocking from the start: a service whose backlog is full answers
    // EAGAIN at once instead of holding the receive thread (and Stop()) in
    // connect, and every later read and write has a bound of its own.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }

    // A bind that fails leaves an unnamed socket that still connects.
    if (!endpoint.localPath.empty() && fillAddress(*localAddr, endpoint.localPath)) {
        if (localAddr->sun_path[0] != '\0')
            ::unlink(localAddr->sun_path);
        ::bind(fd, reinterpret_cast<const sockaddr *>(localAddr), clampLength(endpoint.bindLength));
    }

    if (::connect(fd, reinterpret_cast<const sockaddr *>(&service), clampLength(endpoint.connectLength)) != 0) {
        *error = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

bool setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

namespace {

std::string errnoText(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

// A stream socket with `name`'s address in *addr; -1 with *error set.
int namedSocket(const std::string &name, int flags, sockaddr_un *addr, socklen_t *len, std::string *error)
{
    if (!fillAddress(*addr, name, len)) {
        *error = "bad socket name: '" + name + "'";
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (fd < 0)
        *error = errnoText("socket");
    return fd;
}

} // namespace

int listenOn(const std::string &name, std::string *error)
{
    sockaddr_un addr;
    socklen_t len;
    const int fd = namedSocket(name, SOCK_NONBLOCK, &addr, &len, error);
    if (fd < 0)
        return -1;
    if (addr.sun_path[0] != '\0')
        ::unlink(addr.sun_path);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&addr), len) != 0) {
        *error = errnoText("bind " + name);
        closeFd(fd);
        return -1;
    }
    if (::listen(fd, 4) != 0) {
        *error = errnoText("listen");
        closeFd(fd);
        return -1;
    }
    return fd;
}

int acceptOne(int listenFd)
{
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0 || errno != EINTR)
            return fd;
    }
}

int connectNamed(const std::string &name, std::string *error)
{
    sockaddr_un addr;
    socklen_t len;
    const int fd = namedSocket(name, 0, &addr, &len, error);
    if (fd < 0)
        return -1;
    int r;
    do {
        r = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), len);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        *error = errnoText("connect " + name);
        closeFd(fd);
        return -1;
    }
    return fd;
}

bool sendDescriptor(int sock, int fd)
{
    char token = 'd';
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
    std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
    ssize_t n;
    do {
        n = ::sendmsg(sock, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == 1;
}

int receiveDescriptor(int sock, int timeoutMs)
{
    pollfd p{sock, POLLIN, 0};
    if (pollRetrying(&p, 1, timeoutMs) != 1) {
        errno = ETIMEDOUT;
        return -1;
    }
    char token;
    iovec iov{&token, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    const cmsghdr *c = n == 1 ? CMSG_FIRSTHDR(&msg) : nullptr;
    if (!c || c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
        return -1;
    int fd;
    std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
    return fd;
}

bool peerCredentials(int fd, ucred *cred)
{
    *cred = ucred{-1, uid_t(-1), gid_t(-1)};
    socklen_t len = sizeof *cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, cred, &len) != 0 || len != sizeof *cred) {
        *cred = ucred{-1, uid_t(-1), gid_t(-1)};
        return false;
    }
    return true;
}

ssize_t sendNow(int fd, const void *first, size_t firstLen, const void *second, size_t secondLen)
{
    iovec parts[2] = {{const_cast<void *>(first), firstLen}, {const_cast<void *>(second), secondLen}};
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = 2;
    for (;;) {
        // One run (every record a sender hands over) takes the shorter call.
        const ssize_t n = secondLen == 0 ? ::send(fd, first, firstLen, MSG_NOSIGNAL | MSG_DONTWAIT)
                                         : ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

bool sendAll(int fd, const void *data, size_t n, int timeoutMs, std::string *error)
{
    const timespec deadline = deadlineAfter(timeoutMs);
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        const ssize_t w = sendNow(fd, p, n);
        if (w < 0) {
            *error = errnoText("send");
            return false;
        }
        p += w;
        n -= size_t(w);
        if (n == 0)
            break;
        if (w == 0) {
            const int left = msUntil(deadline);
            pollfd pfd{fd, POLLOUT, 0};
            if (left == 0 || pollRetrying(&pfd, 1, left) == 0) {
                *error = "the peer takes no more bytes (send timed out)";
                return false;
            }
        }
    }
    return true;
}

long unreadBytes(int fd)
{
    int queued = 0;
    return ::ioctl(fd, SIOCOUTQ, &queued) == 0 ? long(queued) : -1;
}

ssize_t readNow(int fd, void *buf, size_t len)
{
    ssize_t n;
    do {
        n = ::recv(fd, buf, len, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t readSome(int fd, void *buf, size_t len)
{
    ssize_t n;
    do {
        n = ::read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

void closeFd(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

int waitFor(int fd, bool writable, int wakeFd, int stopFd, int timeoutMs)
{
    pollfd p[3];
    int slot[3];
    nfds_t n = 0;
    const int fds[3] = {fd, wakeFd, stopFd};
    for (int i = 0; i < 3; ++i) {
        if (fds[i] < 0)
            continue;
        p[n] = {fds[i], short(i == 0 && writable ? POLLIN | POLLOUT : POLLIN), 0};
        slot[n] = 1 << i;
        ++n;
    }
    if (pollRetrying(p, n, timeoutMs) <= 0)
        return 0;
    int ready = 0;
    for (nfds_t i = 0; i < n; ++i) {
        if (p[i].revents == 0)
            continue;
        if (slot[i] == kReadable && (p[i].revents & POLLOUT))
            ready |= kWritable;
        if (slot[i] != kReadable || (p[i].revents & ~POLLOUT))
            ready |= slot[i];
    }
    return ready;
}

} // namespace mcusocket

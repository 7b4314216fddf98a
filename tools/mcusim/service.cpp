#include "service.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace mcusim {

namespace sock = mcusocket;

namespace {

// A time limit as mcusocket takes it: milliseconds, -1 for none.
int limitMs(std::chrono::milliseconds limit)
{
    if (limit < 0ms)
        return -1;
    return limit.count() > INT_MAX ? INT_MAX : int(limit.count());
}

// Milliseconds left until `deadline`, or -1 when there is no limit.
int leftMs(bool limited, const timespec &deadline)
{
    return limited ? sock::msUntil(deadline) : -1;
}

} // namespace

bool enterNetworkNamespace(const std::string &path)
{
    const int ns = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0)
        return false;
    const bool entered = ::setns(ns, CLONE_NEWNET) == 0;
    const int saved = errno;
    sock::closeFd(ns);
    errno = saved;
    return entered;
}

Service::Service(std::string name) : m_name(std::move(name)) {}

Service::~Service()
{
    closeConnection();
    stopListening();
}

tamoappframework::McuEndpoint Service::linkEndpoint(const std::string &localPath) const
{
    tamoappframework::McuEndpoint e;
    e.localPath = localPath;
    e.servicePath = m_name;
    sockaddr_un addr;
    sock::fillAddress(addr, m_name, &e.connectLength);
    return e;
}

bool Service::listen(const std::string &netnsPath)
{
    stopListening();
    m_error.clear();
    if (netnsPath.empty()) {
        m_listener = sock::listenOn(m_name, &m_error);
        return m_listener >= 0;
    }
    // A thread of its own enters the namespace, so that the caller's threads
    // stay where they are; the socket keeps the namespace it was made in.
    std::thread([&] {
        if (!enterNetworkNamespace(netnsPath))
            m_error = "cannot enter " + netnsPath + ": " + std::strerror(errno);
        else
            m_listener = sock::listenOn(m_name, &m_error);
    }).join();
    return m_listener >= 0;
}

void Service::stopListening()
{
    sock::closeFd(m_listener);
    m_listener = -1;
}

bool Service::accept(std::chrono::milliseconds timeout)
{
    if (m_listener < 0)
        return false;
    const bool limited = timeout >= 0ms;
    const timespec deadline = sock::deadlineAfter(limited ? limitMs(timeout) : 0);
    for (;;) {
        const int fd = sock::acceptOne(m_listener);
        if (fd >= 0) {
            adopt(fd);
            return true;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED) {
            m_error = std::string("accept: ") + std::strerror(errno);
            return false;
        }
        const int left = leftMs(limited, deadline);
        if (left == 0 || !(sock::waitFor(m_listener, false, -1, -1, left) & sock::kReadable))
            return false;
    }
}

void Service::adopt(int fd)
{
    closeConnection();
    sock::setNonBlocking(fd);
    m_conn = fd;
}

void Service::closeConnection()
{
    sock::closeFd(m_conn);
    m_conn = -1;
}

bool Service::send(const void *data, size_t n, std::chrono::milliseconds timeout)
{
    if (m_conn < 0)
        return false;
    return sock::sendAll(m_conn, data, n, timeout < 0ms ? INT_MAX : limitMs(timeout), &m_error);
}

std::vector<unsigned char> Service::read(size_t n, std::chrono::milliseconds timeout)
{
    std::vector<unsigned char> out(n);
    size_t got = 0;
    const bool limited = timeout >= 0ms;
    const timespec deadline = sock::deadlineAfter(limited ? limitMs(timeout) : 0);
    while (m_conn >= 0 && got < n) {
        const ssize_t r = sock::readNow(m_conn, out.data() + got, n - got);
        if (r > 0) {
            got += size_t(r);
            continue;
        }
        if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            break;
        const int left = leftMs(limited, deadline);
        if (left == 0 || !(sock::waitFor(m_conn, false, -1, -1, left) & sock::kReadable))
            break;
    }
    out.resize(got);
    return out;
}

long Service::discard(std::chrono::milliseconds timeout)
{
    if (m_conn < 0)
        return 0;
    if (timeout != 0ms && !(sock::waitFor(m_conn, false, -1, -1, limitMs(timeout)) & sock::kReadable))
        return 0;
    unsigned char buf[4096];
    long total = 0;
    for (;;) {
        const ssize_t r = sock::readNow(m_conn, buf, sizeof buf);
        if (r > 0) {
            total += long(r);
            continue;
        }
        if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            closeConnection(); // end of stream, or a reset
        return total;
    }
}

bool Service::waitForEof(std::chrono::milliseconds timeout)
{
    const bool limited = timeout >= 0ms;
    const timespec deadline = sock::deadlineAfter(limited ? limitMs(timeout) : 0);
    for (;;) {
        discard(0ms);
        if (m_conn < 0)
            return true;
        const int left = leftMs(limited, deadline);
        if (left == 0 || !(sock::waitFor(m_conn, false, -1, -1, left) & sock::kReadable))
            return false;
    }
}

} // namespace mcusim

#include "mcupeer.h"
#include "testsupport.h"

#include "processlog.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

namespace {

sockaddr_un abstractAddress(const std::string &name, socklen_t *len)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t n = std::min(name.size(), sizeof addr.sun_path - 1);
    std::memcpy(addr.sun_path + 1, name.data(), n);
    *len = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + n);
    return addr;
}

} // namespace

McuPeer::McuPeer(std::string name) : m_name(std::move(name)) {}

McuPeer::~McuPeer()
{
    closeConnection();
    stopListening();
}

bool McuPeer::listen()
{
    stopListening();
    m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0)
        return false;
    socklen_t len = 0;
    const sockaddr_un addr = abstractAddress(m_name, &len);
    if (::bind(m_listener, reinterpret_cast<const sockaddr *>(&addr), len) != 0 ||
        ::listen(m_listener, 8) != 0) {
        stopListening();
        return false;
    }
    return true;
}

void McuPeer::stopListening()
{
    if (m_listener >= 0)
        ::close(m_listener);
    m_listener = -1;
}

bool McuPeer::accept(std::chrono::milliseconds timeout)
{
    if (m_listener < 0)
        return false;
    pollfd p{m_listener, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, int(timeout.count()));
    } while (r < 0 && errno == EINTR);
    if (r <= 0)
        return false;
    const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return false;
    closeConnection();
    m_conn = fd;
    return true;
}

void McuPeer::closeConnection()
{
    if (m_conn >= 0)
        ::close(m_conn);
    m_conn = -1;
}

bool McuPeer::send(const QByteArray &bytes)
{
    const char *p = bytes.constData();
    size_t left = size_t(bytes.size());
    while (left > 0) {
        const ssize_t n = ::send(m_conn, p, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= size_t(n);
    }
    return true;
}

QByteArray McuPeer::read(int n, std::chrono::milliseconds timeout)
{
    return readExactly(m_conn, n, timeout);
}

bool McuPeer::waitForEof(std::chrono::milliseconds timeout)
{
    char buf[512];
    for (;;) {
        pollfd p{m_conn, POLLIN, 0};
        const int r = ::poll(&p, 1, int(timeout.count()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        const ssize_t got = ::read(m_conn, buf, sizeof buf);
        if (got == 0)
            return true;
        if (got < 0 && errno != EINTR)
            return errno == ECONNRESET;
    }
}

StdoutCapture::StdoutCapture()
{
    std::fflush(stdout);
    char path[] = "/tmp/stdout-capture-XXXXXX";
    m_file = ::mkostemp(path, O_CLOEXEC);
    if (m_file < 0)
        return;
    ::unlink(path);
    m_saved = ::dup(STDOUT_FILENO);
    ::dup2(m_file, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture()
{
    std::fflush(stdout);
    processlog::flush(10000);
    if (m_saved >= 0) {
        ::dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
    }
    if (m_file >= 0) {
        // Show the test's log in its own output as well.
        const std::string captured = text();
        if (::write(STDOUT_FILENO, captured.data(), captured.size()) < 0) {
            // Nothing to do: the test's own output is best effort.
        }
        ::close(m_file);
    }
}

std::string StdoutCapture::text() const
{
    std::fflush(stdout);
    processlog::flush(10000); // the link's lines go out on a thread of their own
    std::string out;
    if (m_file < 0)
        return out;
    char buf[4096];
    off_t at = 0;
    for (;;) {
        const ssize_t n = ::pread(m_file, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buf, size_t(n));
        at += n;
    }
    return out;
}

int StdoutCapture::count(const std::string &needle) const
{
    const std::string t = text();
    int c = 0;
    for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + needle.size()))
        ++c;
    return c;
}

} // namespace testsupport

#ifndef MCUSIM_SERVICE_H
#define MCUSIM_SERVICE_H

// The MCU service's side of the link as a small object: a listening name and
// the one connection taken from it (or handed in, a socket pair's end). The
// serve modes of mcusim run on it, and tests hold one in their own process
// where the launcher's link must meet a service. Every wait is bounded by the
// caller's time limit; a negative limit waits without end. Plain POSIX, no Qt,
// not thread-safe: one thread owns a Service.

#include "mcusocket.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace mcusim {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kNoLimit{-1};

class Service
{
public:
    // `name` as mcusocket::fillAddress() reads it: "@quillhaven" is the
    // abstract name the launcher connects to, "/path" a path.
    explicit Service(std::string name = "@quillhaven");
    ~Service(); // closes the connection and stops listening
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    const std::string &name() const { return m_name; }
    // Where a link reaches this service, binding its own end to `localPath`.
    tamoappframework::McuEndpoint linkEndpoint(const std::string &localPath) const;

    // Binds and listens, in the network namespace at `netnsPath` when one is
    // given (abstract names belong to a network namespace). False with
    // error() set when it fails.
    bool listen(const std::string &netnsPath = {});
    void stopListening(); // new connects are refused from now on
    bool listening() const { return m_listener >= 0; }

    // Waits for the next connection and makes it the current one (closing
    // the one before); false on time-out.
    bool accept(std::chrono::milliseconds timeout = 10s);
    // Makes a connected descriptor made elsewhere the current connection.
    void adopt(int fd);
    void closeConnection();
    int fd() const { return m_conn; }
    bool connected() const { return m_conn >= 0; }

    // Writes all n bytes, waiting for room at most `timeout`; false when the
    // peer is gone or takes no more (a stalled launcher cannot hold its
    // service past the limit).
    bool send(const void *data, size_t n, std::chrono::milliseconds timeout = 10s);
    template <class Bytes>
    bool send(const Bytes &bytes, std::chrono::milliseconds timeout = 10s)
    {
        return send(bytes.data(), size_t(bytes.size()), timeout);
    }

    // Up to n bytes, waiting at most `timeout` for all of them: fewer when the
    // time ran out or the peer closed.
    std::vector<unsigned char> read(size_t n, std::chrono::milliseconds timeout = 10s);
    // Waits at most `timeout` for bytes, then reads and drops all there are
    // and returns how many. When the peer has closed its end, the connection
    // is closed here too (connected() turns false).
    long discard(std::chrono::milliseconds timeout);
    // True once the peer closed its end within the time limit (what it sent
    // meanwhile is dropped); the connection is closed then.
    bool waitForEof(std::chrono::milliseconds timeout = 10s);

    const std::string &error() const { return m_error; }

private:
    std::string m_name;
    std::string m_error;
    int m_listener = -1;
    int m_conn = -1;
};

// Enters the network namespace at `path` with the calling thread. False with
// errno set when it cannot.
bool enterNetworkNamespace(const std::string &path);

} // namespace mcusim

#endif // MCUSIM_SERVICE_H

#ifndef TESTS_PAIRCONNECTOR_H
#define TESTS_PAIRCONNECTOR_H

// A connector for the MCU link that hands it one end of a fresh socket pair
// per connection and keeps the other end for the test. Called on the link's
// receive thread; the peers are read from the test's thread.

#include <atomic>
#include <cerrno>
#include <deque>
#include <functional>
#include <mutex>

#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

struct PairConnector {
    std::mutex mutex;
    std::deque<int> peers;              // the test's ends, in connection order
    std::atomic<int> calls{0};          // connection attempts so far
    std::atomic<int> failFirst{0};      // refuse this many attempts first
    std::function<void(int)> prepare;   // given each test's end before the link gets its own
    int linkSendBuffer = 0;             // SO_SNDBUF of the link's end when non-zero

    PairConnector() = default;
    PairConnector(const PairConnector &) = delete;
    PairConnector &operator=(const PairConnector &) = delete;
    ~PairConnector()
    {
        for (int fd : peers)
            if (fd >= 0)
                ::close(fd);
    }

    std::function<int()> connector()
    {
        return [this] {
            if (calls.fetch_add(1) < failFirst.load()) {
                errno = ECONNREFUSED;
                return -1;
            }
            int sv[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
                return -1;
            if (prepare)
                prepare(sv[1]);
            if (linkSendBuffer > 0)
                ::setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &linkSendBuffer, sizeof linkSendBuffer);
            std::lock_guard<std::mutex> lock(mutex);
            peers.push_back(sv[1]);
            return sv[0];
        };
    }

    // The test's end of connection i, or -1 when there is none (yet).
    int peer(size_t i)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return i < peers.size() ? peers[i] : -1;
    }

    // Closes the test's end of connection i: the link sees its peer gone.
    void closePeer(size_t i)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (i < peers.size() && peers[i] >= 0) {
            ::close(peers[i]);
            peers[i] = -1;
        }
    }
};

} // namespace testsupport

#endif // TESTS_PAIRCONNECTOR_H

#ifndef MCUSOCKET_H
#define MCUSOCKET_H

// The Unix-domain socket primitives of both ends of the MCU link (the
// launcher's link and the simulator that plays the MCU service), each
// wrapping its system calls once: EINTR retried, descriptors close-on-exec,
// sends without SIGPIPE, and every wait bounded by a monotonic deadline or
// ended by a stop descriptor. No state of their own: callers own the
// descriptors. Plain POSIX, no Qt.

#include <cstddef>
#include <string>

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <time.h>

namespace tamoappframework {

// Where the link binds and connects. The defaults are the unit's fixed names;
// tests point a link at names of their own.
struct McuEndpoint {
    std::string localPath = "/tmp/_zcxjm"; // removed, then bound to
    socklen_t bindLength = 110;            // the whole sockaddr_un
    std::string servicePath = "@quillhaven"; // a leading '@' stands for the abstract namespace
    socklen_t connectLength = 13;          // family, the zero byte and the ten letters
};

} // namespace tamoappframework

namespace mcusocket {

using tamoappframework::McuEndpoint;

// A point on CLOCK_MONOTONIC `ms` milliseconds from now. Monotonic: this
// process sets the realtime clock.
timespec deadlineAfter(long ms);
// Milliseconds left until `deadline`, 0 once it has passed (rounded up).
int msUntil(const timespec &deadline);

// Fills a Unix-domain address from a name whose leading '@' stands for the
// abstract namespace (the address is then exactly the name's bytes, no
// trailing zero); any other name is a path. *length, when asked for, is the
// address's exact length. False when the name is empty or does not fit.
bool fillAddress(sockaddr_un &addr, const std::string &name, socklen_t *length = nullptr);

// Opens a stream socket, binds it to the endpoint's local name (best effort:
// the name is only a label for the service's side) and connects to the
// service without waiting. Returns a non-blocking, close-on-exec descriptor,
// or -1 with the reason in *error. `localAddr` receives the bound address.
int connectTo(const McuEndpoint &endpoint, sockaddr_un *localAddr, int *error);

// The service's side: a listening stream socket on `name` (as fillAddress()
// reads it; a path is removed first), non-blocking and close-on-exec, or -1
// with the reason in *error.
int listenOn(const std::string &name, std::string *error);
// Takes one waiting connection, non-blocking and close-on-exec; -1 when none
// waits (EAGAIN) or on error.
int acceptOne(int listenFd);
// A blocking connection to `name`, for tools and tests; -1 with *error set.
int connectNamed(const std::string &name, std::string *error);

// Passes a descriptor over a Unix socket (SCM_RIGHTS, with one byte), and
// takes one, waiting at most timeoutMs; -1 when none came in time or the
// sender is gone. What tests and the simulator use to hand a link one end of
// a socket pair.
bool sendDescriptor(int sock, int fd);
int receiveDescriptor(int sock, int timeoutMs);

// Makes a descriptor handed in from elsewhere non-blocking. False on failure.
bool setNonBlocking(int fd);

// The peer's process, user and group (SO_PEERCRED). False when they cannot be
// read; *cred then holds -1s.
bool peerCredentials(int fd, ucred *cred);

// Hands [first, first + firstLen) and then [second, second + secondLen) to
// the socket without waiting, as one call: the bytes taken (0 when there is
// no room), or -1 with errno when the connection is gone (EPIPE, ECONNRESET).
ssize_t sendNow(int fd, const void *first, size_t firstLen, const void *second = nullptr,
                size_t secondLen = 0);

// Writes all n bytes, waiting for room at most timeoutMs in all. False with
// *error set on a failed write, a closed peer or the time-out.
bool sendAll(int fd, const void *data, size_t n, int timeoutMs, std::string *error);

// Bytes written to the socket that its peer has not read yet (SIOCOUTQ), or
// -1 when the kernel cannot tell.
long unreadBytes(int fd);

// Reads what the socket holds now, up to len bytes: > 0 bytes, 0 end of
// stream, -1 with errno (EAGAIN when nothing is waiting).
ssize_t readNow(int fd, void *buf, size_t len);

// read(2) of any descriptor (a pipe, a terminal) with EINTR retried.
ssize_t readSome(int fd, void *buf, size_t len);
// close(2), not retried: on Linux the descriptor is gone either way. -1 is ignored.
void closeFd(int fd);

// What waitFor() saw.
enum : int {
    kReadable = 1, // fd has bytes, or its peer hung up
    kWoken = 2,    // wakeFd is readable
    kStopped = 4,  // stopFd is readable
    kWritable = 8, // fd has room (only when asked for)
};
// Blocks until fd is readable (or hung up), writable when `writable` is
// asked for, one of the wake descriptors is readable, or timeoutMs passed
// (-1: no limit). Returns the bits above, 0 on time-out. Descriptors below 0
// are not watched.
int waitFor(int fd, bool writable, int wakeFd, int stopFd, int timeoutMs);

} // namespace mcusocket

#endif // MCUSOCKET_H

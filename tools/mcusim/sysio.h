#ifndef MCUSIM_SYSIO_H
#define MCUSIM_SYSIO_H

// The system calls of the simulator, each wrapped once: EINTR retried,
// descriptors close-on-exec, writes that never raise SIGPIPE.

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace mcusim::sysio {

// A listening stream socket on a Unix-domain name: "name" or "@name" is the
// abstract namespace (the address is exactly the name, no trailing zero), a name
// starting with '/' is a path (removed first). Non-blocking. -1 with *error set.
int listenOn(const std::string &name, std::string *error);
// A connected socket to the same kind of name (tests and tools). Blocking.
int connectTo(const std::string &name, std::string *error);
// Non-blocking, close-on-exec; -1 when nothing is waiting (or on error).
int acceptOne(int listenFd);

// read(2) without EINTR. Returns what read returns.
ssize_t readSome(int fd, void *buf, size_t n);
// Writes all n bytes to a (possibly non-blocking) socket, waiting for room at
// most timeoutMs in all. False on error, on a closed peer or on the timeout.
bool sendAll(int fd, const void *data, size_t n, int timeoutMs, std::string *error);
// One send that never waits: what send(2) returns (EINTR retried).
ssize_t sendNow(int fd, const void *data, size_t n);
void closeFd(int fd);

} // namespace mcusim::sysio

#endif // MCUSIM_SYSIO_H

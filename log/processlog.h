#ifndef PROCESSLOG_H
#define PROCESSLOG_H

// Every line the launcher writes goes through here, from any thread, without
// ever waiting for whoever reads the output: standard output's and standard
// error's lines are queued, and one writer thread of the process writes them.

#include <cstddef>

namespace processlog {

// Syslog priorities: under the journal a line carries its priority.
enum class Priority : int {
    Critical = 2,
    Error = 3,
    Warning = 4,
    Info = 6,
    Debug = 7,
};

enum class Stream : int {
    Out = 0, // standard output
    Err = 1, // standard error
};

// One line for standard output, whole and in order (the caller supplies its
// newline). Never waits: a line that finds no room is dropped and counted.
void out(Priority priority, const char *text, size_t len);
void outf(Priority priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
// A per-record line (as out() at Debug priority) made only when it can be
// queued: make(buf, size, context) writes it into buf and returns its length.
// A line that would be dropped (a flood fills the queue) is counted and never
// made. make runs under the log's lock: it must be quick and must not log.
using LineMaker = size_t (*)(char *buf, size_t size, const void *context);
void outMade(LineMaker make, const void *context);
// The same for standard error.
void err(Priority priority, const char *text, size_t len);

// Whether the per-record lines ("Main app normal msg", ...) are written.
// LAUNCHER_MCU_RECORD_LINES=off in the environment switches them off.
bool recordLines();

// Waits until every queued line has been handed to its descriptor, at most
// timeoutMs. True when nothing is left.
bool flush(int timeoutMs);

// main()'s, made first: from then on Qt's messages (from any thread) are
// formatted as Qt would (QT_MESSAGE_PATTERN) and queued for standard error; a
// fatal one goes out as far as standard error takes it, then the process
// aborts. Its end, main's last act, gives the queued lines at most
// finishTimeoutMs: what a stalled reader has not taken by then is counted in
// one line per stream, written only where the descriptor has room, and the
// process goes on ending.
class Session
{
public:
    explicit Session(int finishTimeoutMs);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

private:
    int m_finishTimeoutMs;
};

} // namespace processlog

#endif // PROCESSLOG_H

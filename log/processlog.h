#ifndef PROCESSLOG_H
#define PROCESSLOG_H

// Every line the launcher writes goes through here, from any thread, without
// ever waiting for whoever reads the output.

#include <cstddef>

namespace processlog {

// Syslog priorities: under the journal a line carries its priority.
enum class Priority : int {
    Error = 3,
    Warning = 4,
    Info = 6,
    Debug = 7,
};

// One line for standard output, whole and in order (the caller supplies its
// newline). Never waits: a line that finds no room is dropped and counted.
void out(Priority priority, const char *text, size_t len);
void outf(Priority priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Whether the per-record lines ("Main app normal msg", ...) are written.
// LAUNCHER_MCU_RECORD_LINES=off in the environment switches them off.
bool recordLines();

// Waits until every queued line has been handed to its descriptor, at most
// timeoutMs. True when nothing is left.
bool flush(int timeoutMs);

} // namespace processlog

#endif // PROCESSLOG_H

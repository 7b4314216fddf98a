#ifndef FAULTSERVICEPROCESS_H
#define FAULTSERVICEPROCESS_H

// Runs the faultservice program (a misbehaving MCU service) as a child process
// and maps the page of counters it shares with the test.

#include "faultshared.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace faultservice {

class Process
{
public:
    Process();
    ~Process(); // kills a child that still runs
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    // Starts the program with these arguments (the --shm one is added). A
    // descriptor in `inherit` is passed to the child under the same number.
    bool start(const std::vector<std::string> &args, int inherit = -1);
    // SIGKILL (also to a child that already ended by itself) and reap.
    bool kill();

    pid_t pid() const { return m_pid; }
    // Counters of the current child (cleared by start()).
    Shared &shared() { return *m_shared; }

    // Path of the built program.
    static std::string program();

private:
    std::string m_shmPath;
    Shared *m_shared = nullptr;
    pid_t m_pid = -1;
};

int64_t monotonicNs();

} // namespace faultservice

#endif // FAULTSERVICEPROCESS_H

#ifndef SERVICEPROCESS_H
#define SERVICEPROCESS_H

// `mcusim --serve MODE ...` as a child process the test starts and kills, and
// the page of counters it moves (tools/mcusim/faultmodecounters.h).

#include "faultmodecounters.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

class ServiceProcess
{
public:
    ServiceProcess();
    ~ServiceProcess(); // kills a child that still runs
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;

    // Starts mcusim with "--serve" and these arguments (the counters' --shm is
    // added; they start from 0). A descriptor in `inherit` is passed to the
    // child under the same number.
    bool start(const std::vector<std::string> &args, int inherit = -1);
    // SIGKILL (also to a child that already ended by itself) and reap.
    bool kill();

    pid_t pid() const { return m_pid; }
    mcusim::ServeCounters &counters() { return m_page.counters(); }

private:
    mcusim::CounterPage m_page;
    pid_t m_pid = -1;
};

} // namespace testsupport

#endif // SERVICEPROCESS_H

#ifndef MCUSIM_LAUNCHERCHILD_H
#define MCUSIM_LAUNCHERCHILD_H

// The launcher as a child of the simulator: started from a command line (an
// emulator in front of it where it is another machine's program), its
// standard output and standard error on pipes that the simulator's poll loop
// reads, its end reaped when SIGCHLD says so. Nothing here waits.

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mcusim {

class LauncherChild
{
public:
    using Clock = std::chrono::steady_clock;

    LauncherChild() = default;
    ~LauncherChild(); // a child still running is killed and reaped
    LauncherChild(const LauncherChild &) = delete;
    LauncherChild &operator=(const LauncherChild &) = delete;

    // Starts argv (program first, looked up in PATH) with this process's
    // environment and default signal dispositions; the child is killed when
    // the simulator dies. False with *error when it cannot be run.
    bool start(const std::vector<std::string> &argv, std::string *error);

    bool started() const { return m_pid > 0; }
    bool running() const { return m_pid > 0 && !m_ended; }
    pid_t pid() const { return m_pid; }

    // The reading ends of its standard output and error; -1 once closed.
    int outFd() const { return m_out; }
    int errFd() const { return m_err; }
    void closeOut();
    void closeErr();

    // SIGTERM, and the time it was sent.
    void terminate();
    bool terminated() const { return m_terminated; }
    Clock::time_point terminatedAt() const { return m_terminatedAt; }

    // Takes its exit status if it has ended; true when it ended just now.
    bool reap();
    bool ended() const { return m_ended; }
    Clock::time_point endedAt() const { return m_endedAt; }
    // Exit code, or -1 when a signal ended it.
    int exitCode() const;
    // "exit code 0", "killed by signal 9".
    std::string endText() const;
    // SIGKILL and reap, for a child that may not outlive the simulator.
    void kill();

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    bool m_terminated = false;
    bool m_ended = false;
    int m_status = 0;
    Clock::time_point m_terminatedAt;
    Clock::time_point m_endedAt;
};

} // namespace mcusim

#endif // MCUSIM_LAUNCHERCHILD_H

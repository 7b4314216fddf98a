#ifndef MCUSIM_LAUNCHERCHILD_H
#define MCUSIM_LAUNCHERCHILD_H

// The launcher as a child of the simulator: started from a command line (an
// emulator in front of it where it is another machine's program), its end
// reaped when SIGCHLD says so. Its standard output and standard error go to
// files that the simulator reads as they grow: a file always takes a write
// at once, so the launcher writes as it would to a log file, whatever the
// simulator is busy with (a pipe would hold up its log writer and make it
// drop lines). A standard output that is to stall goes to a pipe instead,
// which nobody reads. Nothing here waits.

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
    // the simulator dies. With stalledOut its standard output is a pipe that
    // is never read. With apartFromTerminal it runs in a process group of its
    // own with standard input from /dev/null, so that the keys of the prompt's
    // terminal (Ctrl-C cancels a wait there) reach the simulator only. False
    // with *error when it cannot be run.
    bool start(const std::vector<std::string> &argv, bool stalledOut, bool apartFromTerminal,
               std::string *error);

    bool started() const { return m_pid > 0; }
    bool running() const { return m_pid > 0 && !m_ended; }
    pid_t pid() const { return m_pid; }

    // The reading ends of its standard output and error files; -1 once
    // closed. Reading 0 bytes means "nothing new yet" while it runs.
    int outFd() const { return m_out; }
    int errFd() const { return m_err; }
    void closeOut();
    void closeErr();
    // The stalled standard output: closing it is a console that went away.
    bool outStalled() const { return m_stalledOut >= 0; }
    void closeStalledOut();

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
    int m_stalledOut = -1;
    bool m_terminated = false;
    bool m_ended = false;
    int m_status = 0;
    Clock::time_point m_terminatedAt;
    Clock::time_point m_endedAt;
};

} // namespace mcusim

#endif // MCUSIM_LAUNCHERCHILD_H

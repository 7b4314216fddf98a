#include "launcherchild.h"

#include "mcusocket.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mcusim {

namespace {

// In the child between fork and exec: only async-signal-safe calls. The
// simulator ignores SIGPIPE and catches SIGINT, SIGTERM, SIGCHLD and SIGCONT; the
// launcher gets the defaults, as from a shell. errno goes back through
// `report` when exec fails.
[[noreturn]] void becomeChild(char *const argv[], int out, int err, int report, pid_t parent, bool apart)
{
    if (apart) {
        ::setpgid(0, 0);
        const int none = ::open("/dev/null", O_RDONLY);
        if (none >= 0)
            ::dup2(none, STDIN_FILENO);
    }
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGCHLD})
        ::signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) // the simulator died before prctl
        ::_exit(127);
    ::execvp(argv[0], argv);
    const int e = errno;
    ssize_t r = ::write(report, &e, sizeof e);
    (void)r; // the parent sees a short report as a failure too
    ::_exit(127);
}

} // namespace

LauncherChild::~LauncherChild()
{
    kill();
    closeOut();
    closeErr();
    closeStalledOut();
}

namespace {

// A file the child writes to and the simulator reads: made in TMPDIR and
// unlinked at once, so it goes when both ends are closed.
bool outputFile(int fds[2], std::string *error)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/mcusim-launcher.XXXXXX";
    fds[1] = ::mkostemp(&path[0], O_CLOEXEC);
    fds[0] = fds[1] < 0 ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fds[1] >= 0)
        ::unlink(path.c_str());
    if (fds[0] >= 0)
        return true;
    *error = "cannot make a file for the launcher's output in " + path + ": " + std::strerror(errno);
    mcusocket::closeFd(fds[1]);
    return false;
}

void closeAll(std::initializer_list<int> fds)
{
    for (int fd : fds)
        mcusocket::closeFd(fd);
}

} // namespace

bool LauncherChild::start(const std::vector<std::string> &argv, bool stalledOut, bool apartFromTerminal,
                          std::string *error)
{
    int out[2] = {-1, -1}, err[2] = {-1, -1}, report[2] = {-1, -1};
    const bool made = (stalledOut ? ::pipe2(out, O_CLOEXEC) == 0 : outputFile(out, error)) &&
                      outputFile(err, error) && ::pipe2(report, O_CLOEXEC) == 0;
    if (!made) {
        if (error->empty())
            *error = std::string("pipe: ") + std::strerror(errno);
        closeAll({out[0], out[1], err[0], err[1], report[0], report[1]});
        return false;
    }
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0)
        becomeChild(args.data(), out[1], err[1], report[1], parent, apartFromTerminal);
    if (pid > 0 && apartFromTerminal)
        ::setpgid(pid, pid); // also here: a Ctrl-C right after fork must not reach it
    closeAll({out[1], err[1], report[1]});
    int childErrno = 0;
    const ssize_t n = pid < 0 ? 0 : mcusocket::readSome(report[0], &childErrno, sizeof childErrno);
    mcusocket::closeFd(report[0]);
    if (pid < 0 || n != 0) {
        *error = "cannot run " + argv[0] + ": " + std::strerror(pid < 0 ? errno : childErrno);
        closeAll({out[0], err[0]});
        if (pid > 0)
            ::waitpid(pid, nullptr, 0);
        return false;
    }
    m_pid = pid;
    (stalledOut ? m_stalledOut : m_out) = out[0];
    m_err = err[0];
    m_terminated = false;
    m_ended = false;
    return true;
}

void LauncherChild::closeOut()
{
    mcusocket::closeFd(m_out);
    m_out = -1;
}

void LauncherChild::closeErr()
{
    mcusocket::closeFd(m_err);
    m_err = -1;
}

void LauncherChild::closeStalledOut()
{
    mcusocket::closeFd(m_stalledOut);
    m_stalledOut = -1;
}

void LauncherChild::terminate()
{
    if (running())
        ::kill(m_pid, SIGTERM);
    m_terminated = true;
    m_terminatedAt = Clock::now();
}

bool LauncherChild::reap()
{
    if (!running())
        return false;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(m_pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r != m_pid)
        return false;
    m_ended = true;
    m_status = status;
    m_endedAt = Clock::now();
    return true;
}

int LauncherChild::exitCode() const { return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1; }

std::string LauncherChild::endText() const
{
    if (WIFEXITED(m_status))
        return "exit code " + std::to_string(WEXITSTATUS(m_status));
    return "killed by signal " + std::to_string(WTERMSIG(m_status));
}

void LauncherChild::kill()
{
    if (!running())
        return;
    ::kill(m_pid, SIGKILL);
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_ended = true;
    m_status = status;
    m_endedAt = Clock::now();
}

} // namespace mcusim

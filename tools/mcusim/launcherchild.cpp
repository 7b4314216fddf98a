#include "launcherchild.h"

#include "mcusocket.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mcusim {

namespace {

// In the child between fork and exec: only async-signal-safe calls. The
// simulator ignores SIGPIPE and catches SIGINT, SIGTERM and SIGCHLD; the
// launcher gets the defaults, as from a shell. errno goes back through
// `report` when exec fails.
[[noreturn]] void becomeChild(char *const argv[], int out, int err, int report, pid_t parent)
{
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
}

bool LauncherChild::start(const std::vector<std::string> &argv, std::string *error)
{
    int out[2], err[2], report[2];
    if (::pipe2(out, O_CLOEXEC) < 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    if (::pipe2(err, O_CLOEXEC) < 0 || ::pipe2(report, O_CLOEXEC) < 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        for (int fd : {out[0], out[1], err[0], err[1]})
            mcusocket::closeFd(fd);
        return false;
    }
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0)
        becomeChild(args.data(), out[1], err[1], report[1], parent);
    for (int fd : {out[1], err[1], report[1]})
        mcusocket::closeFd(fd);
    int childErrno = 0;
    const ssize_t n = pid < 0 ? 0 : mcusocket::readSome(report[0], &childErrno, sizeof childErrno);
    mcusocket::closeFd(report[0]);
    if (pid < 0 || n != 0) {
        *error = "cannot run " + argv[0] + ": " + std::strerror(pid < 0 ? errno : childErrno);
        mcusocket::closeFd(out[0]);
        mcusocket::closeFd(err[0]);
        if (pid > 0)
            ::waitpid(pid, nullptr, 0);
        return false;
    }
    mcusocket::setNonBlocking(out[0]);
    mcusocket::setNonBlocking(err[0]);
    m_pid = pid;
    m_out = out[0];
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

#include "serviceprocess.h"

#include "targetprogram.h"

#include <cerrno>
#include <csignal>

#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace testsupport {

ServiceProcess::ServiceProcess() { m_page.create(); }

ServiceProcess::~ServiceProcess() { kill(); }

bool ServiceProcess::start(const std::vector<std::string> &args, int inherit)
{
    if (!m_page.valid() || m_pid > 0)
        return false;
    m_page.clear();

    // The simulator is a desk tool: on a cross build the native one plays.
    std::vector<std::string> all{mcusimProgram().toStdString(), "--shm", m_page.path(), "--serve"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (inherit >= 0) // dup2 onto itself clears close-on-exec in the child only
        posix_spawn_file_actions_adddup2(&actions, inherit, inherit);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return false;
    m_pid = pid;
    return true;
}

bool ServiceProcess::kill()
{
    if (m_pid <= 0)
        return true;
    ::kill(m_pid, SIGKILL);
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(m_pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    m_pid = -1;
    return true;
}

} // namespace testsupport

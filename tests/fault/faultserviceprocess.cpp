#include "faultserviceprocess.h"

#include "targetprogram.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace faultservice {

int64_t monotonicNs()
{
    timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

std::string Process::program() { return FAULT_SERVICE_PROGRAM; }

Process::Process()
{
    char path[] = "/tmp/faultservice-shm-XXXXXX";
    const int fd = ::mkostemp(path, O_CLOEXEC);
    if (fd < 0)
        return;
    m_shmPath = path;
    // The child may run as another user: it opens the file before dropping.
    ::fchmod(fd, 0600);
    if (::ftruncate(fd, 4096) == 0) {
        void *page = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (page != MAP_FAILED)
            m_shared = new (page) Shared();
    }
    ::close(fd);
}

Process::~Process()
{
    kill();
    if (m_shared)
        ::munmap(m_shared, 4096);
    if (!m_shmPath.empty())
        ::unlink(m_shmPath.c_str());
}

bool Process::start(const std::vector<std::string> &args, int inherit)
{
    if (!m_shared || m_pid > 0)
        return false;
    new (m_shared) Shared();

    // Through the emulator on a cross build: the service never sets the clock.
    QStringList more{"--shm", QString::fromStdString(m_shmPath)};
    for (const std::string &a : args)
        more << QString::fromStdString(a);
    std::vector<std::string> all =
        testsupport::programCommand(QString::fromStdString(program()), more).argv();
    std::vector<char *> argv;
    for (std::string &a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (inherit >= 0) {
        // dup2 onto itself clears close-on-exec in the child only.
        posix_spawn_file_actions_adddup2(&actions, inherit, inherit);
    }
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return false;
    m_pid = pid;
    return true;
}

bool Process::kill()
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

} // namespace faultservice

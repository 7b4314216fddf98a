#include "faultmodecounters.h"

#include <cstdlib>
#include <ctime>
#include <new>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mcusim {

namespace {
constexpr size_t kPageSize = 4096;
static_assert(sizeof(ServeCounters) <= kPageSize, "the counters fit one page");
} // namespace

CounterPage::~CounterPage()
{
    if (m_counters)
        ::munmap(m_counters, kPageSize);
    if (m_owner)
        ::unlink(m_path.c_str());
}

bool CounterPage::create()
{
    char path[] = "/tmp/mcusim-counters-XXXXXX";
    const int fd = ::mkostemp(path, O_CLOEXEC);
    if (fd < 0)
        return false;
    m_path = path;
    m_owner = true;
    // The service may run as another user: it opens the file before dropping.
    ::fchmod(fd, 0600);
    const bool ok = ::ftruncate(fd, kPageSize) == 0 && map(fd);
    ::close(fd);
    if (ok)
        clear();
    return ok;
}

bool CounterPage::open(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    m_path = path;
    const bool ok = map(fd);
    ::close(fd);
    return ok;
}

bool CounterPage::map(int fd)
{
    void *page = ::mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (page == MAP_FAILED)
        return false;
    m_counters = static_cast<ServeCounters *>(page);
    return true;
}

void CounterPage::clear()
{
    if (m_counters)
        new (m_counters) ServeCounters();
}

int64_t CounterPage::monotonicNs()
{
    timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

} // namespace mcusim

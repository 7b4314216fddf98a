#include "linkrig.h"

#include "mainappprotocolcomm.h"
#include "journal.h"

#include <QLoggingCategory>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <sys/socket.h>

#include <dirent.h>
#include <time.h>
#include <unistd.h>

namespace bench {

namespace {

// Puts the calling thread on one processor; threads it starts afterwards
// inherit that. False when the machine has fewer processors.
bool pinTo(int cpu)
{
    if (cpu >= CPU_SETSIZE)
        return false;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

// The id of this process's thread of that name (/proc/self/task/*/comm), or 0.
pid_t threadNamed(const char *name)
{
    DIR *dir = ::opendir("/proc/self/task");
    if (!dir)
        return 0;
    pid_t found = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        char path[300];
        std::snprintf(path, sizeof path, "/proc/self/task/%s/comm", entry->d_name);
        char comm[32] = {};
        if (FILE *f = std::fopen(path, "re")) {
            if (std::fgets(comm, sizeof comm, f))
                comm[std::strcspn(comm, "\n")] = '\0';
            std::fclose(f);
        }
        if (std::strcmp(comm, name) == 0) {
            found = pid_t(std::atoi(entry->d_name));
            break;
        }
    }
    ::closedir(dir);
    return found;
}

} // namespace

CrossProcessorPlacement::CrossProcessorPlacement()
{
    ::sched_getaffinity(0, sizeof m_saved, &m_saved);
}

CrossProcessorPlacement::~CrossProcessorPlacement()
{
    ::sched_setaffinity(0, sizeof m_saved, &m_saved);
    if (m_writer)
        ::sched_setaffinity(m_writer, sizeof m_writerSaved, &m_writerSaved);
}

void CrossProcessorPlacement::serversOnSecond()
{
    pinned = pinTo(1);
    // The log writer is the process's, started by whichever thread wrote
    // first: one that runs already is moved to the servers' processor too.
    if (pinned && (m_writer = threadNamed("log-writer")) != 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(1, &set);
        if (::sched_getaffinity(m_writer, sizeof m_writerSaved, &m_writerSaved) != 0 ||
            ::sched_setaffinity(m_writer, sizeof set, &set) != 0)
            m_writer = 0;
    }
}

void CrossProcessorPlacement::callerOnFirst()
{
    pinned = pinned && pinTo(0);
}

uint64_t monotonicNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

SocketPair::SocketPair()
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
        a = fds[0];
        b = fds[1];
    }
}

SocketPair::~SocketPair()
{
    if (a >= 0)
        ::close(a);
    if (b >= 0)
        ::close(b);
}

int SocketPair::release()
{
    const int fd = a;
    a = -1;
    return fd;
}

PairThread::PairThread(std::function<void(int fd)> body)
    : m_thread([this, body = std::move(body)] { body(m_pair.a); })
{
}

PairThread::~PairThread()
{
    ::shutdown(m_pair.b, SHUT_RDWR);
    m_thread.join();
}

namespace {
// Runs `io` until all n bytes are moved; false on end of file or an error.
template<typename Io> bool transferAll(unsigned char *p, size_t n, Io io)
{
    while (n > 0) {
        const ssize_t k = io(p, n);
        if (k > 0) {
            p += k;
            n -= size_t(k);
        } else if (k < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}
} // namespace

bool writeAll(int fd, const void *data, size_t n)
{
    auto *p = const_cast<unsigned char *>(static_cast<const unsigned char *>(data));
    return transferAll(p, n, [fd](unsigned char *q, size_t k) { return ::send(fd, q, k, MSG_NOSIGNAL); });
}

bool readAll(int fd, void *data, size_t n)
{
    return transferAll(static_cast<unsigned char *>(data), n,
                       [fd](unsigned char *q, size_t k) { return ::read(fd, q, k); });
}

McuShortMsg shortRecord(uint32_t msg, uint32_t p1, uint32_t p2)
{
    McuShortMsg m{};
    m.kind = mcu::kKindShort;
    m.msg = msg;
    m.p1 = p1;
    m.p2 = p2;
    return m;
}

tag_MCUSRV_TO_MAIN_APP_T longRecord(uint32_t id, uint32_t length, uint8_t fill)
{
    tag_MCUSRV_TO_MAIN_APP_T r;
    std::memset(&r, 0, sizeof r);
    r.kind = mcu::kKindMcu;
    r.id = id;
    r.length = length;
    std::memset(r.payload, fill, sizeof r.payload);
    return r;
}

McuShortMsg sentinel()
{
    return shortRecord(MSG_M2A_PARAM, 13, 0);
}

McuShortMsg sentinelAnswer()
{
    return shortRecord(MSG_A2M_SHORT, MSG_A2M_PARAM_ACK, 0);
}

RecordStream makeStream(Mix mix, int records)
{
    RecordStream s;
    s.records = records;
    auto put = [&s](const void *p, size_t n) {
        auto *b = static_cast<const unsigned char *>(p);
        s.bytes.insert(s.bytes.end(), b, b + n);
    };
    for (int i = 0; i < records; ++i) {
        const bool isShort = mix == Mix::Short || (mix == Mix::Alternate && i % 2 == 0);
        if (isShort) {
            const McuShortMsg m = shortRecord(MSG_M2A_KEY_PRESSED, uint32_t(i & 0xff), 1);
            put(&m, sizeof m);
        } else {
            // Long message 57 goes to BaseControl::RecevieMsgFromMcu, whole.
            const tag_MCUSRV_TO_MAIN_APP_T r = longRecord(57, mcu::kIncomingRecordSize, uint8_t(i));
            put(&r, sizeof r);
        }
    }
    const McuShortMsg end = sentinel();
    put(&end, sizeof end);
    return s;
}

bool pushStream(int peer, const RecordStream &stream)
{
    if (!writeAll(peer, stream.bytes.data(), stream.bytes.size()))
        return false;
    McuShortMsg answer;
    if (!readAll(peer, &answer, sizeof answer))
        return false;
    const McuShortMsg expected = sentinelAnswer();
    return std::memcmp(&answer, &expected, sizeof answer) == 0;
}

void quietStandIns()
{
    QLoggingCategory::setFilterRules(QStringLiteral("platform.debug=false"));
    platform::Journal::instance().setEnabled(false);
}

StartedLink::StartedLink()
{
    using tamoappframework::MainAppProtocolComm;
    auto pair = std::make_shared<SocketPair>();
    if (pair->a < 0)
        return;
    m_peer = ::dup(pair->b);
    // The link gets its end once; later attempts (after a drop) are refused.
    auto handed = std::make_shared<std::atomic<bool>>(false);
    m_link = MainAppProtocolComm::GetInstance();
    m_link->transport().setConnector([pair, handed]() -> int {
        if (handed->exchange(true)) {
            errno = ECONNREFUSED;
            return -1;
        }
        return pair->release();
    });
    m_link->Start();
    for (int i = 0; i < 2000 && !m_link->transport().isConnected(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m_connected = m_link->transport().isConnected();
}

StartedLink::~StartedLink()
{
    tamoappframework::MainAppProtocolComm::DeleteInstance();
    if (m_peer >= 0)
        ::close(m_peer);
}

} // namespace bench

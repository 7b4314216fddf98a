// The built launcher under a service manager: its notifications on the socket
// that NOTIFY_SOCKET names, and its end on SIGTERM when the teardown hangs.

#include "launcherprocess.h"
#include "service.h"
#include "targetprogram.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::LauncherProcess;
using testsupport::LogRecord;
using testsupport::scaled;

namespace {

constexpr char kAbsent[] = "STATUS=MCU service absent, retrying";
constexpr char kConnected[] = "STATUS=MCU service connected";

// The service manager's end: a datagram socket that keeps every message with
// the time it arrived, read unless told otherwise (setReading).
class NotifySocket
{
public:
    explicit NotifySocket(const QString &dir, bool reading = true)
        : m_path((dir + "/notify.sock").toStdString()), m_reading(reading)
    {
        ::unlink(m_path.c_str());
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", m_path.c_str());
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            ::close(m_fd);
            m_fd = -1;
            return;
        }
        // The launcher may run as another user in a namespace of its own.
        ::chmod(m_path.c_str(), 0666);
        m_reader = std::thread([this] { read(); });
    }
    ~NotifySocket()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_readingChanged.notify_all();
        if (m_reader.joinable())
            m_reader.join();
        if (m_fd >= 0)
            ::close(m_fd);
        ::unlink(m_path.c_str());
    }
    bool ok() const { return m_fd >= 0; }
    // Fills the socket's queue from a sender of its own; returns what went in.
    int fill()
    {
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", m_path.c_str());
        int queued = 0;
        while (::sendto(fd, "filler", 6, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&a), sizeof a) == 6)
            ++queued;
        ::close(fd);
        return queued;
    }
    // A manager that stops reading: the kernel queues a few datagrams, then
    // the socket is full for every sender.
    void setReading(bool reading)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_reading = reading;
        }
        m_readingChanged.notify_all();
    }
    QString environment() const { return QString::fromStdString("NOTIFY_SOCKET=" + m_path); }

    struct Message {
        std::string text;
        Clock::time_point at;
    };
    std::vector<Message> messages()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }
    // Every message so far, and every one sent before this call.
    std::vector<Message> messagesSentSoFar()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        receiveQueued();
        return m_messages;
    }
    int count(const std::string &text)
    {
        const auto all = messages();
        return int(std::count_if(all.begin(), all.end(), [&](const Message &m) { return m.text == text; }));
    }
    // pump (when given) runs while waiting: to read a launcher's output pipes.
    bool waitFor(const std::string &text, int times = 1, std::chrono::milliseconds limit = 60s,
                 const std::function<void()> &pump = {})
    {
        return testsupport::waitFor(
            [&] {
                if (pump)
                    pump();
                return count(text) >= times;
            },
            scaled(limit));
    }
    std::string dump()
    {
        std::string out;
        for (const Message &m : messages())
            out += "  " + m.text + "\n";
        return out;
    }

private:
    void read()
    {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_readingChanged.wait(lock, [this] { return m_reading || m_stop; });
                if (m_stop)
                    return;
            }
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) == 1) {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_reading)
                    receiveQueued();
            }
        }
    }
    // With m_mutex held: every datagram queued now.
    void receiveQueued()
    {
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(m_fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            m_messages.push_back({std::string(buf, size_t(n)), Clock::now()});
    }

    std::string m_path;
    int m_fd = -1;
    std::thread m_reader;
    std::mutex m_mutex;
    std::condition_variable m_readingChanged;
    bool m_reading;
    bool m_stop = false;
    std::vector<Message> m_messages;
};

std::string dumpRecords(LauncherProcess &launcher)
{
    return launcher.standardError().right(4000).toStdString();
}

// The kernel function a thread sleeps in ("0" while it runs); empty when unreadable.
std::string wchan(pid_t pid, pid_t tid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/wchan");
    std::string name;
    std::getline(in, name);
    return name;
}

// Where the launcher's main thread sleeps, sample by sample. A send that waits
// for room on a full datagram socket sleeps in one of these.
struct MainThreadSamples {
    int taken = 0;
    int inSendWait = 0;
    std::map<std::string, int> seen;

    void take(pid_t pid)
    {
        const std::string where = wchan(pid, pid);
        if (where.empty())
            return;
        ++taken;
        ++seen[where];
        if (where == "unix_wait_for_peer" || where == "sock_alloc_send_pskb" ||
            where == "sock_wait_for_wmem" || where == "unix_dgram_sendmsg")
            ++inSendWait;
    }
    std::string dump() const
    {
        std::string out = std::to_string(taken) + " samples:";
        for (const auto &s : seen)
            out += " " + s.first + " x" + std::to_string(s.second);
        return out;
    }
};

// The thread of pid named name; 0 when there is none.
pid_t threadNamed(pid_t pid, const std::string &name)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = ::opendir(tasks.c_str());
    if (!dir)
        return 0;
    pid_t found = 0;
    while (const dirent *e = ::readdir(dir)) {
        std::ifstream in(tasks + "/" + e->d_name + "/comm");
        std::string comm;
        if (e->d_name[0] != '.' && std::getline(in, comm) && comm == name) {
            found = pid_t(std::atoi(e->d_name));
            break;
        }
    }
    ::closedir(dir);
    return found;
}

} // namespace

// READY=1 only once the first frame is out, WATCHDOG=1 at half the asked
// period, STATUS= as the MCU service comes and goes, STOPPING=1 at SIGTERM.
TEST(ServiceManager, NotifySocketHearsReadinessWatchdogLinkStatusAndStopping)
{
    const QString dir = testsupport::scratchDir("servicemanager");
    NotifySocket manager(dir);
    ASSERT_TRUE(manager.ok());

    LauncherProcess launcher(dir);
    launcher.addEnvironment(manager.environment());
    launcher.addEnvironment("WATCHDOG_USEC=1000000");
    launcher.addEnvironment("QT_LOGGING_RULES=platform.debug=true");
    ASSERT_TRUE(launcher.start());
    // Its output is read meanwhile: a full pipe would stop it.
    const auto pump = [&launcher] { launcher.standardError(); };

    // READY=1 comes with the first frame (its record is written just before).
    ASSERT_TRUE(manager.waitFor("READY=1", 1, 60s, pump)) << manager.dump() << dumpRecords(launcher);
    EXPECT_TRUE(launcher.waitForRecord(
        [](const LogRecord &r) {
            return r.category == "platform" && r.message.startsWith("FirstFrameMonitor::procFlushDone");
        },
        5s))
        << dumpRecords(launcher);

    // No MCU service yet; then one comes (in the launcher's network) and goes.
    ASSERT_TRUE(manager.waitFor(kAbsent, 1, 60s, pump)) << manager.dump() << dumpRecords(launcher);
    EXPECT_EQ(0, manager.count(kConnected));
    // Where the launcher's abstract names live (a namespace of its own as root).
    mcusim::Service service;
    ASSERT_TRUE(service.listen(launcher.inPrivateNetwork()
                                   ? "/proc/" + std::to_string(launcher.pid()) + "/ns/net"
                                   : std::string()))
        << service.error();
    ASSERT_TRUE(service.accept(scaled(20s)));
    ASSERT_TRUE(manager.waitFor(kConnected, 1, 20s, pump)) << manager.dump() << dumpRecords(launcher);
    service.closeConnection();
    service.stopListening();
    ASSERT_TRUE(manager.waitFor(kAbsent, 2, 20s, pump)) << manager.dump() << dumpRecords(launcher);
    ASSERT_TRUE(manager.waitFor("WATCHDOG=1", 4, 20s, pump)) << manager.dump() << dumpRecords(launcher);

    ASSERT_TRUE(launcher.terminate());
    EXPECT_EQ(launcher.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(launcher.exitCode(), 0);
    ASSERT_TRUE(manager.waitFor("STOPPING=1", 1, 5s)) << manager.dump() << dumpRecords(launcher);

    const auto all = manager.messages();
    EXPECT_EQ(1, manager.count("READY=1"));
    EXPECT_EQ(1, manager.count("STOPPING=1"));
    EXPECT_EQ("STOPPING=1", all.back().text) << manager.dump() << dumpRecords(launcher);
    // Half of the 1 s asked for: on average at least once a period, never a flood.
    std::vector<Clock::time_point> beats;
    for (const auto &m : all)
        if (m.text == "WATCHDOG=1")
            beats.push_back(m.at);
    ASSERT_GE(beats.size(), 3u) << manager.dump() << dumpRecords(launcher);
    const auto mean = (beats.back() - beats.front()) / int(beats.size() - 1);
    EXPECT_GE(mean, 400ms);
    EXPECT_LE(mean, scaled(1000ms));
}

// A manager that does not read its notify socket: the kernel queues about ten
// datagrams per receiver, and this one is full before the launcher starts.
// The main thread never waits for room there (sampled from the start), READY=1
// and the link's state still reach the manager once it reads, and SIGTERM
// ends the launcher while the socket is full again.
TEST(ServiceManager, FullNotifySocketNeverHoldsTheMainThread)
{
    const QString dir = testsupport::scratchDir("fullnotify");
    NotifySocket manager(dir, false);
    ASSERT_TRUE(manager.ok());
    ASSERT_GT(manager.fill(), 0);
    LauncherProcess launcher(dir);
    launcher.addEnvironment(manager.environment());
    launcher.addEnvironment("WATCHDOG_USEC=20000");
    ASSERT_TRUE(launcher.start());
    const pid_t pid = launcher.pid();
    if (wchan(pid, pid).empty())
        GTEST_SKIP() << "where the launcher's threads sleep cannot be read here (/proc/<pid>/task/<tid>/wchan)";

    // Until a while after the first frame (a held main thread never gets there).
    MainThreadSamples samples;
    Clock::time_point framedAt{};
    testsupport::waitFor(
        [&] {
            samples.take(pid);
            if (samples.inSendWait > 0)
                return true;
            if (framedAt == Clock::time_point{} && samples.taken % 20 == 0 &&
                launcher.standardError().contains("FirstFrameMonitor::procFlushDone"))
                framedAt = Clock::now();
            return framedAt != Clock::time_point{} && Clock::now() - framedAt > 1s;
        },
        scaled(60s));
    ASSERT_EQ(0, samples.inSendWait) << samples.dump();
    ASSERT_NE(Clock::time_point{}, framedAt) << "no first frame\n" << dumpRecords(launcher);
    EXPECT_GE(samples.taken, 100) << samples.dump();

    // What found no room goes once the manager reads.
    manager.setReading(true);
    const auto pump = [&launcher] { launcher.standardError(); };
    ASSERT_TRUE(manager.waitFor("READY=1", 1, 20s, pump)) << manager.dump() << dumpRecords(launcher);
    ASSERT_TRUE(manager.waitFor(kAbsent, 1, 20s, pump)) << manager.dump() << dumpRecords(launcher);

    // Full again (the watchdog's fifty ticks fill it many times over), and SIGTERM.
    manager.setReading(false);
    samples = {};
    testsupport::waitFor(
        [&] {
            samples.take(pid);
            return samples.inSendWait > 0;
        },
        500ms);
    EXPECT_EQ(0, samples.inSendWait) << samples.dump();
    ASSERT_TRUE(launcher.terminate(5s)) << "SIGTERM did not end the launcher\n" << dumpRecords(launcher);
    EXPECT_EQ(launcher.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(launcher.exitCode(), 0);
    EXPECT_EQ(1, manager.count("READY=1")) << manager.dump();
}

// The watchdog hears from the MCU link's thread too. While that thread is held
// (stopped as a debugger stops it), WATCHDOG=1 stops within a couple of ticks
// and one line names the thread; once it runs again, so do the pings. A
// teardown it holds up ends at the second SIGTERM.
TEST(ServiceManager, HeldLinkThreadWithholdsTheWatchdog)
{
    const QString dir = testsupport::scratchDir("heldlink");
    NotifySocket manager(dir);
    ASSERT_TRUE(manager.ok());
    LauncherProcess launcher(dir);
    launcher.addEnvironment(manager.environment());
    launcher.addEnvironment("WATCHDOG_USEC=200000");
    ASSERT_TRUE(launcher.start());
    const auto pump = [&launcher] { launcher.standardError(); };
    ASSERT_TRUE(manager.waitFor("READY=1", 1, 60s, pump)) << manager.dump() << dumpRecords(launcher);
    // Pings go while the link's thread answers.
    ASSERT_TRUE(manager.waitFor("WATCHDOG=1", manager.count("WATCHDOG=1") + 2, 20s, pump))
        << manager.dump() << dumpRecords(launcher);

    const pid_t tid = threadNamed(launcher.pid(), "mcu-link");
    ASSERT_GT(tid, 0) << "no thread named mcu-link";
    if (::ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0)
        GTEST_SKIP() << "ptrace is not permitted here: " << std::strerror(errno);
    // Let go however the test ends: a held link thread would hold the teardown too.
    struct Release {
        pid_t tid;
        ~Release()
        {
            if (tid > 0)
                ::ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
        }
    } release{tid};
    ASSERT_EQ(0, ::ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr)) << std::strerror(errno);
    int status = 0;
    ASSERT_TRUE(testsupport::waitFor([&] { return ::waitpid(tid, &status, __WALL | WNOHANG) == tid; }, scaled(10s)));
    ASSERT_TRUE(WIFSTOPPED(status)) << "status " << status;
    const size_t beforeHold = manager.messagesSentSoFar().size();

    const auto withheldLine = [](const LogRecord &r) {
        return r.message.contains("MCU link thread (mcu-link) has not answered since") &&
               r.message.contains("watchdog pings withheld");
    };
    ASSERT_TRUE(launcher.waitForRecord(withheldLine, 20s)) << manager.dump() << dumpRecords(launcher);
    // At most the one ping the last answer allowed...
    const auto all = manager.messages();
    const auto late = std::count_if(all.begin() + beforeHold, all.end(),
                                    [](const NotifySocket::Message &m) { return m.text == "WATCHDOG=1"; });
    EXPECT_LE(late, 1) << manager.dump();
    // ...and none over the next ticks.
    const int pings = manager.count("WATCHDOG=1");
    EXPECT_FALSE(manager.waitFor("WATCHDOG=1", pings + 1, 1s, pump)) << manager.dump();

    ASSERT_EQ(0, ::ptrace(PTRACE_DETACH, tid, nullptr, nullptr)) << std::strerror(errno);
    release.tid = 0;
    ASSERT_TRUE(manager.waitFor("WATCHDOG=1", pings + 2, 20s, pump)) << manager.dump() << dumpRecords(launcher);
    EXPECT_TRUE(launcher.waitForRecord(
        [](const LogRecord &r) { return r.message.contains("MCU link thread (mcu-link) answers again"); }, 5s))
        << dumpRecords(launcher);
    const auto records = launcher.records();
    EXPECT_EQ(1, std::count_if(records.begin(), records.end(), withheldLine)) << dumpRecords(launcher);

#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer runs a signal's handler only once the thread that took
    // it leaves its system call, and the teardown's never does.
    ASSERT_TRUE(launcher.terminate());
    EXPECT_EQ(launcher.exitCode(), 0);
#else
    // Held again, the thread holds up the teardown too (it waits for the link's
    // thread to end): the first SIGTERM ends the event loop, the second the
    // process, at once, with 128 + SIGTERM.
    ASSERT_EQ(0, ::ptrace(PTRACE_SEIZE, tid, nullptr, nullptr)) << std::strerror(errno);
    release.tid = tid;
    ASSERT_EQ(0, ::ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr)) << std::strerror(errno);
    ASSERT_TRUE(testsupport::waitFor([&] { return ::waitpid(tid, &status, __WALL | WNOHANG) == tid; }, scaled(10s)));
    ::kill(launcher.pid(), SIGTERM);
    EXPECT_TRUE(manager.waitFor("STOPPING=1", 1, 20s, pump)) << manager.dump();
    EXPECT_FALSE(launcher.waitForExit(scaled(1s))) << "the teardown was not held up";
    ::kill(launcher.pid(), SIGTERM);
    // The held thread is this test's to reap once the process ends.
    EXPECT_TRUE(testsupport::waitFor(
        [&] { return ::waitpid(tid, &status, __WALL | WNOHANG) == tid && (WIFEXITED(status) || WIFSIGNALED(status)); },
        scaled(10s)));
    release.tid = 0;
    ASSERT_TRUE(launcher.waitForExit(scaled(10s))) << "the second SIGTERM did not end the launcher";
    EXPECT_EQ(128 + SIGTERM, launcher.exitCode());
#endif
}

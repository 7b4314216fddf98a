// Who may be the MCU service. The abstract name has no permissions, so the link
// checks every connection's peer credentials: root and the launcher's own user
// are served, anyone else is closed unread and unwritten and the link retries.

#include "mainappprotocolcomm.h"
#include "service.h"
#include "serviceprocess.h"
#include "stdoutcapture.h"
#include "systemclock.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QLoggingCategory>

#include <atomic>
#include <chrono>
#include <cstring>
#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using tamoappframework::MainAppProtocolComm;
using Process = testsupport::ServiceProcess;
using testsupport::StdoutCapture;
using testsupport::waitFor;
using namespace std::chrono_literals;

constexpr long kNobody = 65534;
const std::string kRefused = "MainAppProtocolComm refused the MCU service peer";

// Every framed record, copied on the receive thread.
struct Tap {
    std::mutex mutex;
    std::vector<std::vector<unsigned char>> records;
    static void record(void *self, const unsigned char *data, int size)
    {
        auto *tap = static_cast<Tap *>(self);
        std::lock_guard<std::mutex> lock(tap->mutex);
        tap->records.emplace_back(data, data + size);
    }
    size_t size()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return records.size();
    }
};

// The clock the link's handlers set: an impostor's first record is a clock change.
class Clock : public platform::SystemClock
{
public:
    int setTime(qint64 secs) override
    {
        last = secs;
        calls.fetch_add(1);
        return 0;
    }
    std::atomic<int> calls{0};
    std::atomic<qint64> last{0};
};

class PeerCheck : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QLoggingCategory::setFilterRules("platform.debug=false");
        platform::setSystemClock(&m_clock);
        m_name = "@" + testsupport::uniqueName("mcu-peercheck");
    }
    void TearDown() override
    {
        MainAppProtocolComm::DeleteInstance();
        platform::setSystemClock(nullptr);
    }

    MainAppProtocolComm *link() { return MainAppProtocolComm::GetInstance(); }

    void startLinkOnName()
    {
        link()->transport().setEndpoint(
            mcusim::Service(m_name).linkEndpoint("/tmp/" + testsupport::uniqueName("mcu-peercheck-link")));
        link()->transport().setRecordTap(&Tap::record, &m_tap);
        link()->Start();
        link()->AppReady();
    }

    // Each connection first gets a clock change: what an impostor would send.
    std::vector<std::string> listenArgs(long uid)
    {
        std::vector<std::string> a{"count", "--clock", "1000000000", "--name", m_name};
        if (uid >= 0)
            a.insert(a.end(), {"--uid", std::to_string(uid)});
        return a;
    }

    static std::string refusalOf(pid_t pid, long uid)
    {
        return kRefused + " pid " + std::to_string(pid) + " uid " + std::to_string(uid) + ":";
    }

    Clock m_clock;
    Tap m_tap;
    std::string m_name;
};

TEST_F(PeerCheck, ServiceOfAnotherUserIsRefusedUnreadAndLoggedOncePerProcess)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a service process as another user";

    StdoutCapture out;
    startLinkOnName();

    Process impostor;
    ASSERT_TRUE(impostor.start(listenArgs(kNobody)));
    // Several retries of the same process: one line for all of them.
    // The service counts its accept() after the link's connect has returned:
    // wait for both sides.
    ASSERT_TRUE(waitFor([&] {
        return link()->transport().refusedPeerCount() >= 3 && impostor.counters().accepted.load() >= 3u;
    }, 20s)) << "refused " << link()->transport().refusedPeerCount() << ", accepted "
             << impostor.counters().accepted.load();
    EXPECT_EQ(1, out.count(kRefused));
    EXPECT_EQ(1, out.count(refusalOf(impostor.pid(), kNobody)));

    // A new impostor process is a new line.
    ASSERT_TRUE(impostor.kill());
    const unsigned before = link()->transport().refusedPeerCount();
    Process second;
    ASSERT_TRUE(second.start(listenArgs(kNobody)));
    ASSERT_TRUE(waitFor([&] { return link()->transport().refusedPeerCount() >= before + 2; }, 20s));
    EXPECT_EQ(2, out.count(kRefused));
    EXPECT_EQ(1, out.count(refusalOf(second.pid(), kNobody)));

    // Nothing went either way: no ready notice to them, nothing dispatched.
    EXPECT_EQ(0u, link()->transport().connectionCount());
    EXPECT_FALSE(link()->transport().isConnected());
    EXPECT_EQ(0u, m_tap.size());
    EXPECT_EQ(0, m_clock.calls.load());
    EXPECT_EQ(0u, impostor.counters().bytesReceived.load());
    ASSERT_TRUE(second.kill());
    EXPECT_EQ(0u, second.counters().bytesReceived.load());

    // The real service comes back on the same name and is served at once.
    Process service;
    ASSERT_TRUE(service.start(listenArgs(-1)));
    ASSERT_TRUE(waitFor([&] { return link()->transport().connectionCount() == 1; }, 20s));
    ASSERT_TRUE(waitFor([&] { return service.counters().bytesReceived.load() >= 16; }));
    ASSERT_TRUE(waitFor([&] { return m_clock.calls.load() == 1; }));
    EXPECT_EQ(1000000000, m_clock.last.load());
    EXPECT_EQ(1, out.count("MainAppProtocolComm connected to the MCU service\n"));
    EXPECT_EQ(2, out.count(kRefused));
}

// The test seam gets no exemption: a socket pair made by another user and
// handed over through the connector is refused like a listener of that user.
TEST_F(PeerCheck, SocketPairOfAnotherUserFromTheConnectorIsRefused)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a service process as another user";

    int ctl[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ctl));
    Process impostor;
    ASSERT_TRUE(impostor.start({"pair", "--clock", "1000000000", "--uid", std::to_string(kNobody),
                                "--ctl-fd", std::to_string(ctl[1])},
                               ctl[1]));
    ::close(ctl[1]);
    const int ctlFd = ctl[0];

    link()->transport().setConnector([ctlFd] { return mcusocket::receiveDescriptor(ctlFd, 5000); });

    StdoutCapture out;
    link()->transport().setRecordTap(&Tap::record, &m_tap);
    link()->Start();
    link()->AppReady();
    ASSERT_TRUE(waitFor([&] { return link()->transport().refusedPeerCount() >= 2; }, 20s));
    EXPECT_EQ(1, out.count(kRefused));
    EXPECT_EQ(1, out.count(refusalOf(impostor.pid(), kNobody)));
    EXPECT_EQ(0u, link()->transport().connectionCount());
    EXPECT_EQ(0u, m_tap.size());
    EXPECT_EQ(0, m_clock.calls.load());

    MainAppProtocolComm::DeleteInstance(); // before the impostor and ctl go
    impostor.kill();
    EXPECT_EQ(0u, impostor.counters().bytesReceived.load());
    ::close(ctlFd);
}

// The MCU service's own user (the build's setting) is trusted too; anyone else
// is told which users would have been. A name that is no user trusts nobody more.
TEST_F(PeerCheck, ServiceUserIsServedAndTheRefusalNamesTheTrustedUsers)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a service process as another user";
    constexpr long kDaemon = 1;

    {
        StdoutCapture out;
        link()->transport().setServiceUser("no-such-mcu-user");
        startLinkOnName();
        Process service;
        ASSERT_TRUE(service.start(listenArgs(kNobody)));
        ASSERT_TRUE(waitFor([&] { return link()->transport().refusedPeerCount() >= 1; }, 20s));
        EXPECT_EQ(1, out.count("the MCU service user \"no-such-mcu-user\" is unknown"));
        EXPECT_EQ(MainAppProtocolComm::LinkState::Refused, link()->linkState());
        MainAppProtocolComm::DeleteInstance();
    }

    StdoutCapture out;
    link()->transport().setServiceUser("nobody");
    startLinkOnName();
    Process impostor;
    ASSERT_TRUE(impostor.start(listenArgs(kDaemon)));
    ASSERT_TRUE(waitFor([&] { return link()->transport().refusedPeerCount() >= 1; }, 20s));
    EXPECT_EQ(1, out.count(refusalOf(impostor.pid(), kDaemon) +
                           " trusted are root (uid 0), nobody (uid 65534)\n"))
        << out.text();
    ASSERT_TRUE(impostor.kill());

    Process service;
    ASSERT_TRUE(service.start(listenArgs(kNobody)));
    ASSERT_TRUE(waitFor([&] { return link()->transport().connectionCount() == 1; }, 20s));
    ASSERT_TRUE(waitFor([&] { return m_clock.calls.load() == 1; }));
    EXPECT_EQ(MainAppProtocolComm::LinkState::Connected, link()->linkState());
}

TEST_F(PeerCheck, ServiceOfTheLaunchersOwnUserIsServed)
{
    StdoutCapture out;
    Process service;
    ASSERT_TRUE(service.start(listenArgs(-1)));
    ASSERT_TRUE(waitFor([&] { return service.counters().listening.load() == 1; }));
    startLinkOnName();

    ASSERT_TRUE(waitFor([&] { return link()->transport().connectionCount() == 1; }));
    // The ready notice went out and the service's first record was acted on.
    ASSERT_TRUE(waitFor([&] { return service.counters().bytesReceived.load() >= 16; }));
    ASSERT_TRUE(waitFor([&] { return m_clock.calls.load() == 1; }));
    EXPECT_EQ(1u, m_tap.size());
    EXPECT_EQ(0u, link()->transport().refusedPeerCount());
    EXPECT_EQ(0, out.count(kRefused));
}

} // namespace

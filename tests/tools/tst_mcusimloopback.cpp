// The mcusim program against a stand-in launcher made here: scenario outcomes and
// exit codes, reconnection, restarts, signals, the prompt (piped and on a
// terminal) and captures.

#include "codec.h"
#include "mcusocket.h"
#include "targetprogram.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTextStream>

#include <csignal>
#include <cstring>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace mcusim;
using testsupport::waitFor;
using namespace std::chrono_literals;

namespace {

struct Fd {
    int fd = -1;
    ~Fd() { mcusocket::closeFd(fd); }
    void reset(int f = -1)
    {
        mcusocket::closeFd(fd);
        fd = f;
    }
};

class Loopback : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_name = testsupport::uniqueName("mcusimtest");
        m_dir = testsupport::scratchDir("mcusim");
    }
    void TearDown() override
    {
        if (m_sim.state() != QProcess::NotRunning) {
            m_sim.kill();
            m_sim.waitForFinished(5000);
        }
    }

    QString writeScenario(const char *text)
    {
        const QString path = m_dir + "/scenario.txt";
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
        return path;
    }

    void start(const QStringList &args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TZ", "UTC");
        m_sim.setProcessEnvironment(env);
        // The simulator is a desk tool: on a cross build the native one plays.
        m_sim.start(testsupport::mcusimProgram(), QStringList{"-n", QString::fromStdString(m_name)} + args);
        ASSERT_TRUE(m_sim.waitForStarted(10000));
    }

    // Connects like the launcher does, retrying while nobody listens.
    int connectLauncher(int *refusals = nullptr)
    {
        int fd = -1;
        waitFor([&] {
            std::string error;
            fd = mcusocket::connectNamed("@" + m_name, &error);
            if (fd < 0 && refusals)
                ++*refusals;
            return fd >= 0;
        }, 20s);
        return fd;
    }

    static void send(int fd, const Bytes &b)
    {
        std::string error;
        ASSERT_TRUE(mcusocket::sendAll(fd, b.data(), b.size(), 5000, &error)) << error;
    }

    // True once the simulator has closed its end.
    static bool closedByPeer(int fd)
    {
        return testsupport::readExactly(fd, 1, 10s).isEmpty();
    }

    int finish()
    {
        EXPECT_TRUE(waitFor([&] { return m_sim.state() == QProcess::NotRunning; }, 30s));
        m_out += QString::fromUtf8(m_sim.readAllStandardOutput());
        m_err += QString::fromUtf8(m_sim.readAllStandardError());
        EXPECT_EQ(m_sim.exitStatus(), QProcess::NormalExit) << m_out.toStdString();
        return m_sim.exitCode();
    }

    std::string m_name;
    QString m_dir;
    QProcess m_sim;
    QString m_out, m_err;
};

const Bytes kReady = encodeShort(12, 17, 2);

} // namespace

TEST_F(Loopback, AScenarioThatIsMetExitsZero)
{
    const QString capture = m_dir + "/capture.txt";
    start({"-c", capture, writeScenario("wait-connect within 20s\n"
                                        "expect next app-ready\n"
                                        "version-query\n"
                                        "expect version-report customer=C1 within 10s\n"
                                        "split 3,9 key 7 1\n"
                                        "trickle mcu-type 2\n")});
    Fd c;
    c.fd = connectLauncher();
    ASSERT_GE(c.fd, 0);
    send(c.fd, kReady);
    EXPECT_EQ(testsupport::hex(testsupport::readExactly(c.fd, 16)),
              "01 00 00 00 18 33 00 00 00 00 00 00 00 00 00 00");
    Bytes report(264, 0);
    report[0] = 2;
    report[4] = 205;
    const unsigned char pl[] = {18, 2, 'C', '1', 0, 0x0D};
    std::copy(std::begin(pl), std::end(pl), report.begin() + 8);
    send(c.fd, report);
    // Written in pieces, read back whole and in order.
    EXPECT_EQ(testsupport::readExactly(c.fd, 32),
              QByteArray(reinterpret_cast<const char *>(encodeShort(13078, 7, 1).data()), 16) +
                  QByteArray(reinterpret_cast<const char *>(encodeShort(13144, 2, 0).data()), 16));
    EXPECT_EQ(finish(), 0) << m_out.toStdString();
    EXPECT_TRUE(m_out.contains("<- app-ready p2=2"));
    EXPECT_TRUE(m_out.contains("-> MSG_M2A_VERSION_QUERY"));
    EXPECT_TRUE(m_out.contains("-> MSG_M2A_KEY_PRESSED p1=7 p2=1  (in 3 writes)"));
    EXPECT_TRUE(m_out.contains("summary: 3 records sent, 2 received (0 heartbeats), 1 connections, "
                               "expectations met 2 of 2"))
        << m_out.toStdString();

    QFile f(capture);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString cap = QString::fromUtf8(f.readAll());
    EXPECT_TRUE(cap.contains("\nwait-connect  #")) << cap.toStdString();
    EXPECT_TRUE(cap.contains("\nexpect app-ready p2=2 within 5s  #"));
    EXPECT_TRUE(cap.contains("\nsplit 3,9 key 7 1  #"));
}

TEST_F(Loopback, AnUnmetExpectationFailsAndNamesItsLine)
{
    start({writeScenario("wait-connect within 20s\n"
                         "expect app-ready\n"
                         "expect eject within 200ms\n"
                         "version-query\n")});
    Fd c;
    c.fd = connectLauncher();
    send(c.fd, kReady);
    EXPECT_EQ(finish(), 1);
    EXPECT_TRUE(m_out.contains("FAIL line 3: expect eject within 200ms: nothing matching arrived within 200 ms"))
        << m_out.toStdString();
    EXPECT_FALSE(m_out.contains("MSG_M2A_VERSION_QUERY")) << "the scenario stops at the failure";
    EXPECT_TRUE(m_err.contains("scenario failed at line 3"));

    // A record that must be the next one, but is not.
    m_out.clear();
    start({writeScenario("wait-connect within 20s\nexpect next heartbeat\n")});
    c.reset(connectLauncher());
    send(c.fd, kReady);
    EXPECT_EQ(finish(), 1);
    EXPECT_TRUE(m_out.contains("FAIL line 2: expect next heartbeat: the next record was: app-ready p2=2"))
        << m_out.toStdString();
}

TEST_F(Loopback, ABadScenarioIsRefusedBeforeAnythingHappens)
{
    const QString path = writeScenario("wait-connect\nkey 1\nexpect nothing\n");
    start({path});
    EXPECT_EQ(finish(), 2);
    EXPECT_TRUE(m_err.contains(path + ":2: usage: key P1 P2")) << m_err.toStdString();
    EXPECT_TRUE(m_err.contains(path + ":3: unknown record name 'nothing'"));
    EXPECT_FALSE(m_out.contains("listening")) << "nothing is opened for a bad scenario";
}

TEST_F(Loopback, TheLauncherIsTakenBackAfterADisconnectAndARestart)
{
    start({writeScenario("close-listener\n"
                         "listen\n"
                         "wait-connect within 20s\n"
                         "expect next app-ready\n"
                         "disconnect\n"
                         "wait-connect within 20s\n"
                         "expect next app-ready\n"
                         "restart 300ms\n"
                         "wait-connect within 20s\n"
                         "expect next app-ready\n"
                         "eject\n")});
    Fd c;
    c.fd = connectLauncher();
    ASSERT_GE(c.fd, 0);
    send(c.fd, kReady);
    EXPECT_TRUE(closedByPeer(c.fd));
    c.reset(connectLauncher());
    send(c.fd, kReady);
    EXPECT_TRUE(closedByPeer(c.fd));
    int refusals = 0;
    c.reset(connectLauncher(&refusals));
    EXPECT_GT(refusals, 0) << "the service was absent during the restart";
    send(c.fd, kReady);
    EXPECT_EQ(testsupport::readExactly(c.fd, 16).size(), 16);
    EXPECT_EQ(finish(), 0) << m_out.toStdString();
    EXPECT_TRUE(m_out.contains("3 connections, expectations met 3 of 3")) << m_out.toStdString();
}

TEST_F(Loopback, ASecondLauncherIsRefusedWhileOneIsConnected)
{
    start({writeScenario("wait-connect within 20s\nexpect app-ready\nexpect heartbeat within 20s\n")});
    Fd first, second;
    first.fd = connectLauncher();
    send(first.fd, kReady);
    second.fd = connectLauncher();
    EXPECT_TRUE(closedByPeer(second.fd));
    send(first.fd, encodeShort(12, 190, 0));
    EXPECT_EQ(finish(), 0) << m_out.toStdString();
}

TEST_F(Loopback, SignalsAndDeadPeersEndNothingUncleanly)
{
    // SIGTERM during a scenario: a summary, and the "interrupted" code.
    start({writeScenario("wait-connect within 60s\n")});
    ASSERT_TRUE(waitFor([&] {
        m_out += QString::fromUtf8(m_sim.readAllStandardOutput());
        return m_out.contains("listening on @");
    }));
    ::kill(pid_t(m_sim.processId()), SIGTERM);
    EXPECT_EQ(finish(), 4);
    EXPECT_TRUE(m_out.contains("== interrupted"));
    EXPECT_TRUE(m_out.contains("summary:"));

    // The launcher vanishes before the simulator sends: a failed step, no SIGPIPE.
    m_out.clear();
    start({writeScenario("wait-connect within 20s\n"
                         "expect app-ready\n"
                         "sleep 100ms\n"
                         "mcu-version gone\n")});
    Fd c;
    c.fd = connectLauncher();
    send(c.fd, kReady);
    c.reset();
    EXPECT_EQ(finish(), 1);
    EXPECT_TRUE(m_out.contains("FAIL line 4")) << m_out.toStdString();
}

TEST_F(Loopback, ThePromptRunsTypedCommands)
{
    start({});
    Fd c;
    c.fd = connectLauncher();
    send(c.fd, kReady);
    m_sim.write("bogus 1\n");
    m_sim.write("key 3 4\n");
    ASSERT_TRUE(m_sim.waitForBytesWritten(5000));
    EXPECT_EQ(testsupport::readExactly(c.fd, 16),
              QByteArray(reinterpret_cast<const char *>(encodeShort(13078, 3, 4).data()), 16));
    m_sim.write("expect app-ready\n");
    m_sim.closeWriteChannel();
    EXPECT_EQ(finish(), 0) << m_out.toStdString();
    EXPECT_TRUE(m_out.contains("error: unknown command 'bogus'"));
    EXPECT_TRUE(m_out.contains("ok line 3: expect app-ready")) << m_out.toStdString();
}

TEST_F(Loopback, ThePromptOnATerminalRecallsALineWithTheUpArrow)
{
    // Everything the child needs is made before the fork: it only execs.
    const std::string program = testsupport::mcusimProgram().toStdString();
    const std::string state = "XDG_STATE_HOME=" + m_dir.toStdString(); // a history of its own, empty
    std::vector<std::string> words = {program, "-n", m_name};
    std::vector<char *> argv, envp;
    for (std::string &w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    std::string env[] = {"TERM=xterm", "TZ=UTC", state};
    for (std::string &e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    Fd terminal;
    terminal.fd = master;
    QByteArray screen;
    // Takes what the terminal shows, never waiting; true once it holds text.
    auto shows = [&](const char *text) {
        char buf[4096];
        pollfd p{master, POLLIN, 0};
        ssize_t n;
        while (::poll(&p, 1, 0) > 0 && (n = ::read(master, buf, sizeof buf)) > 0)
            screen.append(buf, int(n));
        return screen.contains(text);
    };
    auto type = [&](const char *keys) {
        ASSERT_EQ(::write(master, keys, std::strlen(keys)), ssize_t(std::strlen(keys)));
    };

    ASSERT_TRUE(waitFor([&] { return shows("mcusim> "); })) << screen.toStdString();
    Fd c;
    c.fd = connectLauncher();
    ASSERT_TRUE(waitFor([&] { return shows("launcher connected"); })) << screen.toStdString();
    const QByteArray key(reinterpret_cast<const char *>(encodeShort(13078, 3, 4).data()), 16);
    type("key 3 4\r");
    EXPECT_EQ(testsupport::readExactly(c.fd, 16), key);
    type("\033[A\r"); // the up arrow recalls it, Enter runs it again
    EXPECT_EQ(testsupport::readExactly(c.fd, 16), key) << screen.toStdString();
    type("quit\r");

    int status = -1;
    const bool ended = waitFor([&] {
        shows("");
        return ::waitpid(pid, &status, WNOHANG) == pid;
    });
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(ended) << screen.toStdString();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(screen.contains("summary: 2 records sent")) << screen.toStdString();
}

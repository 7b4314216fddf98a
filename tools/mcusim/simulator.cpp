#include "simulator.h"

#include "capture.h"
#include "launcherstream.h"
#include "mcusocket.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <unistd.h>

namespace mcusim {

namespace {

namespace sock = mcusocket;

using Clock = std::chrono::steady_clock;

// Records not yet matched by an expect line are kept for later ones, up to this
// many (an interactive session that expects nothing must not grow without end).
// A launcher that was not read from hands over its whole backlog at once (its
// 64 KiB queue and the socket's buffer, some 16000 short records).
constexpr size_t kQueueLimit = 32768;
// How long a send may wait for the launcher to take bytes before it fails.
constexpr int kSendTimeoutMs = 5000;

int g_signalPipe[2] = {-1, -1};

void onSignal(int sig)
{
    const int saved = errno;
    unsigned char b = static_cast<unsigned char>(sig);
    ssize_t r = ::write(g_signalPipe[1], &b, 1);
    (void)r; // a full pipe already holds a wake-up
    errno = saved;
}

std::string wallStamp()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmv;
    localtime_r(&ts.tv_sec, &tmv);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03ld", tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                  ts.tv_nsec / 1000000);
    return buf;
}

std::string displayName(const std::string &name)
{
    if (!name.empty() && (name[0] == '/' || name[0] == '@'))
        return name;
    return "@" + name;
}

struct Received {
    unsigned generation;
    Bytes raw;
    Decoded decoded;
};

} // namespace

struct Simulator::Impl {
    SimOptions opt;
    int listenFd = -1;
    int connFd = -1;
    unsigned generation = 0; // connections accepted so far
    unsigned claimed = 0;    // the last one a wait-connect took
    LauncherStream stream;
    std::deque<Received> queue;

    std::vector<Command> commands;
    size_t current = 0;
    bool started = false;
    Clock::time_point deadline;
    size_t piece = 0; // next piece of a split send
    int phase = 0;    // restart: 0 down, 1 waiting to come up; wait-disconnect: 1 started
    unsigned waitGeneration = 0; // wait-disconnect: the connection it waits on

    bool interactive = false; // commands come from stdin
    bool promptShown = false;
    bool stdinOpen = false;
    std::string stdinBuf;

    bool stalled = false;  // stall: the connection is not read
    bool flooding = false; // a flood is running: wake when there is room
    unsigned long floodSent = 0;
    unsigned long floodFull = 0; // times the launcher's socket had no room

    bool failed = false;
    bool interrupted = false;
    int expectations = 0;
    int expectationsMet = 0;
    unsigned long sentRecords = 0;
    unsigned long receivedRecords = 0;
    unsigned long heartbeats = 0;

    std::ofstream captureFile;
    std::unique_ptr<CaptureWriter> capture;

    Clock::time_point t0 = Clock::now();

    CaptureWriter::Stamp stamp() const
    {
        return {std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(),
                wallStamp()};
    }

    void print(const std::string &text)
    {
        if (promptShown) {
            std::fputs("\r\033[K", stdout);
            promptShown = false;
        }
        std::fputs(text.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

    void printAt(const std::string &arrow, const std::string &text)
    {
        print(wallStamp() + " " + arrow + " " + text);
    }

    void prompt()
    {
        if (interactive && isatty(STDIN_FILENO) && !promptShown && stdinOpen && current >= commands.size()) {
            std::fputs("mcusim> ", stdout);
            std::fflush(stdout);
            promptShown = true;
        }
    }

    bool openListener()
    {
        if (listenFd >= 0)
            return true;
        std::string error;
        listenFd = sock::listenOn(opt.name, &error);
        if (listenFd < 0) {
            printAt("!!", "cannot listen: " + error);
            return false;
        }
        printAt("==", "listening on " + displayName(opt.name));
        return true;
    }

    void closeListener()
    {
        if (listenFd < 0)
            return;
        sock::closeFd(listenFd);
        listenFd = -1;
        if (opt.name[0] == '/')
            ::unlink(opt.name.c_str());
        printAt("==", "stopped listening: the service is absent");
    }

    void dropConnection(const std::string &why)
    {
        if (connFd < 0)
            return;
        sock::closeFd(connFd);
        connFd = -1;
        if (stream.pending())
            printAt("!!", "dropped " + std::to_string(stream.pending()) + " bytes of an unfinished record");
        stream.clear();
        printAt("==", why);
        if (capture)
            capture->note(stamp(), why);
    }

    void acceptConnections()
    {
        for (;;) {
            int fd = sock::acceptOne(listenFd);
            if (fd < 0)
                return;
            if (connFd >= 0) {
                // One launcher at a time: the open connection is alive (a dead one
                // shows as end of stream first, and is read before accepting).
                sock::closeFd(fd);
                printAt("!!", "refused a second connection while one is open");
                continue;
            }
            connFd = fd;
            ++generation;
            printAt("==", "launcher connected (connection " + std::to_string(generation) + ")");
            if (capture)
                capture->connected(stamp());
        }
    }

    void readConnection()
    {
        unsigned char buf[4096];
        for (;;) {
            ssize_t n = sock::readSome(connFd, buf, sizeof buf);
            if (n > 0) {
                stream.append(buf, size_t(n));
                Bytes rec;
                while (stream.next(&rec))
                    onRecord(rec);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            dropConnection(n == 0 ? "launcher closed the connection"
                                  : std::string("connection lost: ") + std::strerror(errno));
            return;
        }
    }

    void onRecord(const Bytes &rec)
    {
        ++receivedRecords;
        Decoded d = decodeFromLauncher(rec);
        const bool heartbeat = d.name == "heartbeat";
        if (heartbeat)
            ++heartbeats;
        if (!(heartbeat && opt.quietHeartbeats))
            printAt("<-", d.text() + (opt.showHex ? "  [" + hexDump(rec) + "]" : std::string()));
        if (capture)
            capture->received(stamp(), d);
        queue.push_back(Received{generation, rec, std::move(d)});
        if (queue.size() > kQueueLimit)
            queue.pop_front();
    }

    // --- commands

    void fail(const Command &c, const std::string &why)
    {
        print("FAIL line " + std::to_string(c.line) + ": " + c.text + ": " + why);
        if (!interactive) {
            failed = true;
            std::fprintf(stderr, "mcusim: scenario failed at line %d: %s\n", c.line, why.c_str());
        }
    }

    void finishCommand()
    {
        ++current;
        started = false;
        piece = 0;
        phase = 0;
    }

    bool writePiece(const Command &c, size_t from, size_t to)
    {
        std::string error;
        if (!sock::sendAll(connFd, c.bytes.data() + from, to - from, kSendTimeoutMs, &error)) {
            fail(c, error);
            dropConnection("connection lost while sending");
            return false;
        }
        return true;
    }

    // Writes whole copies of the flood's record while there is room. False
    // when the connection is gone. Each turn is bounded, so that the poll loop
    // still sees signals and (unless stalled) reads what the launcher sends.
    bool floodSome(const Command &c)
    {
        for (int i = 0; i < 1024; ++i) {
            const ssize_t w = sock::sendNow(connFd, c.bytes.data(), c.bytes.size());
            if (w == ssize_t(c.bytes.size())) {
                ++floodSent;
                continue;
            }
            if (w == 0) {
                ++floodFull;
                return true;
            }
            std::string error;
            if (w > 0 && sock::sendAll(connFd, c.bytes.data() + w, c.bytes.size() - size_t(w),
                                        kSendTimeoutMs, &error)) {
                ++floodSent; // the rest of a record cut by a full socket
                continue;
            }
            dropConnection(w < 0 ? "connection lost during the flood: " + std::string(std::strerror(errno))
                                 : "connection lost during the flood: " + error);
            return false;
        }
        return true;
    }

    void endFlood(const Command &c)
    {
        flooding = false;
        sentRecords += floodSent;
        printAt("->", "flood ended: " + std::to_string(floodSent) + " records sent in " +
                          std::to_string(c.timeoutMs) + " ms; the launcher's socket was full " +
                          std::to_string(floodFull) + " times");
    }

    // Runs commands until one has to wait; returns the time to wake up at.
    Clock::time_point step()
    {
        const Clock::time_point never = Clock::now() + std::chrono::hours(1);
        while (current < commands.size() && !failed && !interrupted) {
            Command &c = commands[current];
            const auto now = Clock::now();
            if (!started) {
                started = true;
                deadline = now + std::chrono::milliseconds(c.timeoutMs);
                if (c.op == Op::Expect || c.op == Op::ExpectNone)
                    ++expectations;
            }
            switch (c.op) {
            case Op::Send: {
                if (connFd < 0) {
                    fail(c, "not connected (wait-connect first)");
                    finishCommand();
                    continue;
                }
                if (piece > 0 && now < deadline)
                    return deadline;
                const size_t from = piece == 0 ? 0 : c.cuts[piece - 1];
                const size_t to = piece < c.cuts.size() ? c.cuts[piece] : c.bytes.size();
                if (piece == 0) {
                    Decoded d = decodeToLauncher(c.bytes);
                    ++sentRecords;
                    std::string extra = c.cuts.empty() ? std::string()
                                                       : "  (in " + std::to_string(c.cuts.size() + 1) + " writes)";
                    if (c.raw)
                        printAt("->", "hex " + std::to_string(c.bytes.size()) + " bytes: " +
                                          hexString(c.bytes.data(), std::min<size_t>(c.bytes.size(), 48)) +
                                          (c.bytes.size() > 48 ? " ..." : "") + extra);
                    else
                        printAt("->", d.text() + extra +
                                          (opt.showHex ? "  [" + hexDump(c.bytes) + "]" : std::string()));
                    if (capture)
                        capture->sent(stamp(), c.text, d, c.pauseMs * int(c.cuts.size()));
                }
                if (!writePiece(c, from, to)) {
                    finishCommand();
                    continue;
                }
                if (to < c.bytes.size()) {
                    ++piece;
                    deadline = Clock::now() + std::chrono::milliseconds(c.pauseMs);
                    return deadline;
                }
                finishCommand();
                continue;
            }
            case Op::Expect: {
                size_t hit = queue.size();
                for (size_t i = 0; i < queue.size(); ++i) {
                    if (matches(c, queue[i].decoded, queue[i].raw)) {
                        hit = i;
                        break;
                    }
                    if (c.next)
                        break;
                }
                if (hit < queue.size()) {
                    print(wallStamp() + " ok line " + std::to_string(c.line) + ": " + c.text);
                    ++expectationsMet;
                    queue.erase(queue.begin(), queue.begin() + long(hit) + 1);
                    finishCommand();
                    continue;
                }
                if (c.next && !queue.empty()) {
                    fail(c, "the next record was: " + queue.front().decoded.text());
                    queue.pop_front();
                    finishCommand();
                    continue;
                }
                if (now >= deadline) {
                    fail(c, "nothing matching arrived within " + std::to_string(c.timeoutMs) + " ms");
                    finishCommand();
                    continue;
                }
                return deadline;
            }
            case Op::ExpectNone: {
                bool seen = false;
                for (const Received &r : queue) {
                    if (matches(c, r.decoded, r.raw)) {
                        fail(c, "it came: " + r.decoded.text());
                        seen = true;
                        break;
                    }
                }
                if (seen) {
                    finishCommand();
                    continue;
                }
                if (now >= deadline) {
                    print(wallStamp() + " ok line " + std::to_string(c.line) + ": " + c.text);
                    ++expectationsMet;
                    finishCommand();
                    continue;
                }
                return deadline;
            }
            case Op::Sleep:
                if (now < deadline)
                    return deadline;
                finishCommand();
                continue;
            case Op::Disconnect:
                if (capture)
                    capture->action(stamp(), c.text);
                if (connFd >= 0)
                    dropConnection("disconnected the launcher");
                else
                    printAt("==", "disconnect: no connection");
                finishCommand();
                continue;
            case Op::WaitConnect:
                if (connFd >= 0 && generation > claimed) {
                    claimed = generation;
                    // What an earlier connection sent is no answer to what comes next.
                    while (!queue.empty() && queue.front().generation < generation)
                        queue.pop_front();
                    finishCommand();
                    continue;
                }
                if (now >= deadline) {
                    fail(c, "no connection within " + std::to_string(c.timeoutMs) + " ms");
                    finishCommand();
                    continue;
                }
                return deadline;
            case Op::WaitDisconnect:
                if (phase == 0) {
                    phase = 1;
                    waitGeneration = generation;
                }
                // Ended, or ended and already made anew by the launcher.
                if (connFd < 0 || generation != waitGeneration) {
                    finishCommand();
                    continue;
                }
                if (now >= deadline) {
                    fail(c, "the launcher stayed connected for " + std::to_string(c.timeoutMs) + " ms");
                    finishCommand();
                    continue;
                }
                return deadline;
            case Op::Stall:
                if (capture)
                    capture->action(stamp(), c.text);
                stalled = true;
                printAt("==", "stopped reading the connection");
                finishCommand();
                continue;
            case Op::Resume:
                if (capture)
                    capture->action(stamp(), c.text);
                if (stalled)
                    printAt("==", "reading the connection again");
                stalled = false; // the main loop reads what is waiting
                finishCommand();
                continue;
            case Op::Flood:
                if (!flooding) {
                    if (connFd < 0) {
                        fail(c, "not connected (wait-connect first)");
                        finishCommand();
                        continue;
                    }
                    flooding = true;
                    floodSent = 0;
                    floodFull = 0;
                    if (capture)
                        capture->action(stamp(), c.text);
                    printAt("->", "flood for " + std::to_string(c.timeoutMs) + " ms: " +
                                      (c.raw ? "hex " + std::to_string(c.bytes.size()) + " bytes"
                                             : decodeToLauncher(c.bytes).text()));
                }
                if (now < deadline && connFd >= 0 && floodSome(c))
                    return deadline; // woken early by room on the socket
                endFlood(c);
                finishCommand();
                continue;
            case Op::CloseListener:
                if (capture)
                    capture->action(stamp(), c.text);
                closeListener();
                finishCommand();
                continue;
            case Op::Listen:
                if (capture)
                    capture->action(stamp(), c.text);
                if (!openListener())
                    fail(c, "cannot listen");
                finishCommand();
                continue;
            case Op::Restart:
                if (phase == 0) {
                    if (capture)
                        capture->action(stamp(), c.text);
                    printAt("==", "restarting the service");
                    // The listener goes first: a launcher that sees the end of
                    // its connection must find the service absent, not queue up
                    // on a listener about to close.
                    closeListener();
                    dropConnection("disconnected the launcher");
                    phase = 1;
                    deadline = now + std::chrono::milliseconds(c.timeoutMs);
                    return deadline;
                }
                if (now < deadline)
                    return deadline;
                if (!openListener())
                    fail(c, "cannot listen");
                finishCommand();
                continue;
            }
        }
        return never;
    }

    void readStdin()
    {
        char buf[1024];
        ssize_t n = sock::readSome(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            stdinOpen = false;
            if (!stdinBuf.empty())
                takeLine(stdinBuf);
            stdinBuf.clear();
            return;
        }
        stdinBuf.append(buf, size_t(n));
        size_t nl;
        while ((nl = stdinBuf.find('\n')) != std::string::npos) {
            std::string line = stdinBuf.substr(0, nl);
            stdinBuf.erase(0, nl + 1);
            takeLine(line);
        }
        if (stdinBuf.size() > 65536) {
            print("!! input line too long, dropped");
            stdinBuf.clear();
        }
    }

    int typedLines = 0;
    void takeLine(const std::string &line)
    {
        promptShown = false;
        ++typedLines;
        std::string trimmed = line;
        while (!trimmed.empty() && (trimmed.back() == '\r' || trimmed.back() == ' '))
            trimmed.pop_back();
        if (trimmed == "quit" || trimmed == "exit") {
            stdinOpen = false;
            return;
        }
        if (trimmed == "help") {
            print("commands: time, rds-time, mcu-version, uuid, mcu-type, version-query, key, eject, "
                  "param, heartbeat-ack, key-study, forward, sim, mcm, can, short, long, hex, "
                  "split/trickle, flood, expect, sleep, disconnect, wait-connect, wait-disconnect, "
                  "stall, resume, close-listener, listen, "
                  "restart, status, quit (see README.md)");
            return;
        }
        if (trimmed == "status") {
            print(statusLine());
            return;
        }
        Command c;
        bool isCommand = false;
        std::string error;
        if (!parseLine(line, typedLines, opt.parse, &c, &isCommand, &error)) {
            print("error: " + error);
            return;
        }
        if (isCommand)
            commands.push_back(std::move(c));
    }

    std::string statusLine() const
    {
        std::string s = std::string(connFd >= 0 ? (stalled ? "connected (not reading)" : "connected")
                                                : "not connected") + ", " +
                        (listenFd >= 0 ? "listening on " + displayName(opt.name) : std::string("not listening"));
        return s + ", " + std::to_string(sentRecords) + " records sent, " + std::to_string(receivedRecords) +
               " received";
    }

    std::string summary() const
    {
        return "summary: " + std::to_string(sentRecords) + " records sent, " + std::to_string(receivedRecords) +
               " received (" + std::to_string(heartbeats) + " heartbeats), " + std::to_string(generation) +
               " connections, expectations met " + std::to_string(expectationsMet) + " of " +
               std::to_string(expectations);
    }
};

Simulator::Simulator(SimOptions options) : d(std::make_unique<Impl>())
{
    d->opt = std::move(options);
    if (!d->opt.name.empty())
        d->opt.name = displayName(d->opt.name); // a bare name is abstract
}

Simulator::~Simulator()
{
    if (d->connFd >= 0)
        sock::closeFd(d->connFd);
    if (d->listenFd >= 0) {
        sock::closeFd(d->listenFd);
        if (d->opt.name[0] == '/')
            ::unlink(d->opt.name.c_str());
    }
}

int Simulator::run()
{
    Impl &s = *d;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    if (s.opt.name.empty()) {
        std::fprintf(stderr, "mcusim: empty service name\n");
        return kExitUsage;
    }
    if (!s.opt.scenarioPath.empty()) {
        std::ifstream in(s.opt.scenarioPath);
        if (!in) {
            std::fprintf(stderr, "mcusim: cannot read %s: %s\n", s.opt.scenarioPath.c_str(), std::strerror(errno));
            return kExitUsage;
        }
        std::stringstream text;
        text << in.rdbuf();
        Scenario sc = parseScenario(text.str(), s.opt.parse);
        if (!sc.ok()) {
            for (const std::string &e : sc.errors)
                std::fprintf(stderr, "%s:%s\n", s.opt.scenarioPath.c_str(), e.substr(5).c_str());
            std::fprintf(stderr, "mcusim: %zu bad line(s); nothing was sent\n", sc.errors.size());
            return kExitUsage;
        }
        s.commands = std::move(sc.commands);
    } else if (!s.opt.monitor) {
        s.interactive = true;
        s.stdinOpen = true;
    }

    if (!s.opt.capturePath.empty()) {
        s.captureFile.open(s.opt.capturePath, std::ios::out | std::ios::trunc);
        if (!s.captureFile) {
            std::fprintf(stderr, "mcusim: cannot write %s: %s\n", s.opt.capturePath.c_str(), std::strerror(errno));
            return kExitUsage;
        }
        s.capture = std::make_unique<CaptureWriter>(s.captureFile);
        std::time_t now = std::time(nullptr);
        s.capture->header("mcusim capture of " + displayName(s.opt.name) + ", started " +
                          formatLocalTime(int64_t(now)) + "; replay with: mcusim -s FILE");
    }

    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) < 0) {
        std::fprintf(stderr, "mcusim: pipe: %s\n", std::strerror(errno));
        return kExitFailed;
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, nullptr); // MSG_NOSIGNAL covers sends; this covers stdout to a closed pipe

    // A scenario that begins with close-listener starts with the service absent.
    const bool startClosed = !s.commands.empty() && s.commands.front().op == Op::CloseListener;
    if (!startClosed && !s.openListener())
        return kExitSocket;
    if (s.interactive && isatty(STDIN_FILENO))
        s.print("mcusim: type commands (help lists them), Ctrl-D or quit to end");

    for (;;) {
        const auto wake = s.step();
        if (s.failed || s.interrupted)
            break;
        const bool commandsDone = s.current >= s.commands.size();
        if (commandsDone && !s.interactive && !s.opt.monitor)
            break; // the scenario has ended
        if (commandsDone && s.interactive && !s.stdinOpen)
            break; // input ended and everything typed has run
        s.prompt();

        pollfd fds[4];
        int n = 0;
        fds[n++] = {g_signalPipe[0], POLLIN, 0};
        const int listenAt = s.listenFd >= 0 ? n : -1;
        if (s.listenFd >= 0)
            fds[n++] = {s.listenFd, POLLIN, 0};
        // A stalled connection is not polled for input (nor for its end);
        // a flood waits for room.
        const short connEvents = short((s.stalled ? 0 : POLLIN) | (s.flooding ? POLLOUT : 0));
        const int connAt = s.connFd >= 0 && connEvents ? n : -1;
        if (connAt >= 0)
            fds[n++] = {s.connFd, connEvents, 0};
        const int stdinAt = s.interactive && s.stdinOpen ? n : -1;
        if (stdinAt >= 0)
            fds[n++] = {STDIN_FILENO, POLLIN, 0};

        auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count() + 1;
        if (waitMs < 0)
            waitMs = 0;
        if (waitMs > 1000)
            waitMs = 1000;
        int r = ::poll(fds, nfds_t(n), int(waitMs));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "mcusim: poll: %s\n", std::strerror(errno));
            return kExitFailed;
        }
        if (fds[0].revents & POLLIN) {
            unsigned char b;
            while (sock::readSome(g_signalPipe[0], &b, 1) > 0) {
            }
            s.interrupted = true;
            s.print("");
            s.printAt("==", "interrupted");
            break;
        }
        // The connection first: its end must be seen before a new one is accepted.
        if (connAt >= 0 && !s.stalled && (fds[connAt].revents & ~POLLOUT))
            s.readConnection();
        if (listenAt >= 0 && s.listenFd >= 0 && fds[listenAt].revents)
            s.acceptConnections();
        if (stdinAt >= 0 && fds[stdinAt].revents)
            s.readStdin();
    }

    s.print(s.summary());
    if (s.capture)
        s.capture->note(s.stamp(), s.summary());
    if (s.failed)
        return kExitFailed;
    if (s.interrupted)
        return (s.interactive || s.opt.monitor) ? kExitOk : kExitInterrupted;
    if (s.interactive)
        return s.expectationsMet == s.expectations ? kExitOk : kExitFailed;
    return kExitOk;
}

} // namespace mcusim

#include "simulator_p.h"

#include "mcusocket.h"
#include "pcapreplay.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace mcusim {

namespace sock = mcusocket;

const char *const kNotConnected = "not connected (wait-connect first)";
const char *const kDisconnected = "disconnected the launcher";

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int sig)
{
    const int saved = errno;
    unsigned char b = static_cast<unsigned char>(sig);
    ssize_t r = ::write(g_signalPipe[1], &b, 1);
    (void)r; // a full pipe already holds a wake-up
    errno = saved;
}

bool installSignals()
{
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) < 0)
        return false;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGTERM, SIGCHLD, SIGCONT})
        sigaction(sig, &sa, nullptr);
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, nullptr); // MSG_NOSIGNAL covers sends; this covers stdout to a closed pipe
    return true;
}

std::string readFile(const std::string &path, bool *ok)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    *ok = bool(in);
    return text.str();
}

} // namespace

// --- commands

namespace {
// "line 7", or for the checks the simulator adds itself, "the end".
std::string where(const Command &c) { return c.line ? "line " + std::to_string(c.line) : "at the end"; }
} // namespace

void Simulator::Impl::ok(const Command &c, const std::string &note)
{
    print(wallStamp() + " ok " + where(c) + ": " + c.text + (note.empty() ? "" : ": " + note));
    ++expectationsMet;
}

void Simulator::Impl::fail(const Command &c, const std::string &why)
{
    if (c.mustFail) {
        progress.expectedFailure = why;
        return;
    }
    print("FAIL " + where(c) + ": " + c.text + ": " + why);
    if (!interactive) {
        failed = true;
        std::fprintf(stderr, "mcusim: scenario failed %s: %s\n", (c.line ? "at " + where(c) : where(c)).c_str(),
                     why.c_str());
    }
}

void Simulator::Impl::startCommand(Command &c)
{
    progress = Progress();
    progress.started = true;
    progress.startedAt = Clock::now();
    progress.deadline = progress.startedAt + std::chrono::milliseconds(c.timeoutMs);
    if (c.mustFail || c.op == Op::Expect || c.op == Op::ExpectNone || c.op == Op::ExpectLog ||
        c.op == Op::ExpectExit || c.op == Op::Run || (c.op == Op::ExpectNoLog && c.atEnd))
        ++expectations;
}

void Simulator::Impl::finishCommand()
{
    const Command &c = commands[current];
    if (c.mustFail) {
        Command real = c;
        real.mustFail = false;
        if (!progress.expectedFailure.empty())
            ok(c, "failed as expected: " + progress.expectedFailure);
        else
            fail(real, "it was expected to fail, and did not");
    }
    ++current;
    progress = Progress();
}

void Simulator::Impl::captureAction(const Command &c)
{
    if (capture)
        capture->action(stamp(), c.text);
}

std::vector<Command> Simulator::Impl::launcherEnd(const std::string &when, int line) const
{
    if (!launcher || exitChecked)
        return {};
    std::vector<Command> end(2);
    Command &t = end[0];
    t.op = Op::Terminate;
    t.line = line;
    const std::string note = when.empty() ? std::string() : " (" + when + ")";
    t.text = "terminate" + note;
    Command &e = end[1];
    e.op = Op::ExpectExit;
    e.line = line;
    e.timeoutMs = opt.parse.exitTimeoutMs;
    e.text = "expect-exit 0 within " + durationText(e.timeoutMs) + note;
    // One SIGTERM only: a second one ends the launcher at once, with another code.
    if (launcher->terminated())
        end.erase(end.begin());
    return end;
}

// The checks of the end, after the scenario's last command or its first
// failure: a launcher it started ends on SIGTERM with exit code 0 within the
// time allowed, and no line of it holds an expect-no-log text.
void Simulator::Impl::addFinale()
{
    std::vector<Command> end = launcherEnd(std::string(), 0);
    for (const Command &c : commands) {
        if (c.op == Op::ExpectNoLog && launcher) {
            end.push_back(c);
            end.back().atEnd = true;
        }
    }
    finaleAt = commands.size();
    commands.insert(commands.end(), end.begin(), end.end());
}

bool Simulator::Impl::cancelRunning()
{
    if (current >= commands.size())
        return false;
    Command c = commands[current];
    c.mustFail = false; // cancelled is not the failure an expect-fail waits for
    std::string why = "cancelled";
    if (c.op == Op::Flood && flood.on)
        endFlood();
    if (c.op == Op::Restart && progress.down)
        openListener(); // a restart ends with the service there
    if (c.op == Op::Send && progress.piece > 0)
        why += " after " + std::to_string(progress.piece) + " of " + std::to_string(c.cuts.size() + 1) +
               " writes: the launcher holds part of a record";
    const size_t dropped = commands.size() - current - 1;
    if (dropped > 0)
        why += "; the " + std::to_string(dropped) + " command(s) typed after it dropped";
    fail(c, why);
    commands.erase(commands.begin() + long(current), commands.end());
    progress = Progress();
    return true;
}

Clock::time_point Simulator::Impl::step()
{
    const Clock::time_point never = Clock::now() + std::chrono::hours(1);
    floodMore();
    for (;;) {
        if (interrupted)
            return never;
        if (failed && finaleAt == 0)
            current = commands.size(); // what is left of the scenario is skipped
        if (current >= commands.size()) {
            if (finaleAt != 0 || !launcher || (interactive && stdinOpen))
                return never;
            addFinale();
            continue;
        }
        Command &c = commands[current];
        if (!progress.started)
            startCommand(c);
        const Step wait = runnerFor(c.op)(*this, c);
        if (wait)
            return *wait;
        finishCommand(); // by index: a runner may have added commands, and c moved
    }
}

// --- the program

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

namespace {

// What run() needs before the loop: the scenario read, the capture opened.
// kExitOk, or the code to end with.
int prepare(Simulator::Impl &s)
{
    if (s.opt.name.empty()) {
        std::fprintf(stderr, "mcusim: empty service name\n");
        return kExitUsage;
    }
    if (!s.opt.scenarioPath.empty()) {
        bool ok = false;
        std::string text = readFile(s.opt.scenarioPath, &ok);
        if (!ok) {
            std::fprintf(stderr, "mcusim: cannot read %s: %s\n", s.opt.scenarioPath.c_str(), std::strerror(errno));
            return kExitUsage;
        }
        if (pcapng::looksLikePcapng(text)) {
            std::string scenario, why;
            if (!scenarioFromPcapng(text, s.opt.fast, &scenario, &why)) {
                std::fprintf(stderr, "mcusim: %s: %s\n", s.opt.scenarioPath.c_str(), why.c_str());
                return kExitUsage;
            }
            // Given a launcher, the replay starts it: a capture holds no launch command.
            text = (s.opt.launcher.empty() ? std::string() : "launch\n") + scenario;
        }
        Scenario sc = parseScenario(text, s.opt.parse);
        for (const Command &c : sc.commands)
            if (c.op == Op::Launch && s.opt.launcher.empty())
                sc.errors.push_back("line " + std::to_string(c.line) +
                                    ": launch, but no launcher was given (mcusim --launcher PROGRAM ...)");
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
    const bool replays = !s.commands.empty() && s.commands.back().op == Op::ReplayCapture;
    if (!s.opt.capturePath.empty()) {
        s.captureFile.open(s.opt.capturePath, std::ios::out | std::ios::trunc);
        if (!s.captureFile) {
            std::fprintf(stderr, "mcusim: cannot write %s: %s\n", s.opt.capturePath.c_str(), std::strerror(errno));
            return kExitUsage;
        }
    }
    if (!s.opt.pcapPath.empty() &&
        !s.pcap.open(s.opt.pcapPath, "mcusim", pcapng::kServiceSide)) {
        std::fprintf(stderr, "mcusim: cannot write %s: %s\n", s.opt.pcapPath.c_str(), std::strerror(errno));
        return kExitUsage;
    }
    if (s.captureFile.is_open() || replays) {
        s.capture = std::make_unique<CaptureWriter>(s.captureFile.is_open() ? static_cast<std::ostream &>(s.captureFile)
                                                                            : s.captureText);
        s.capture->header("mcusim capture of " + displayName(s.opt.name) + ", started " +
                          formatLocalTime(int64_t(std::time(nullptr))) +
                          "; replay with: mcusim -s FILE (and --launcher PROGRAM where it launches one)");
    }
    if (!installSignals()) {
        std::fprintf(stderr, "mcusim: pipe: %s\n", std::strerror(errno));
        return kExitFailed;
    }
    return kExitOk;
}

// Takes what the signal pipe holds: the launcher's end, or an interruption.
// At the prompt on a terminal, Ctrl-C first cancels the command that runs,
// or drops the typed line; at an empty prompt, or a second time in one turn
// (a command that did not let go at once), it ends the session.
void takeSignals(Simulator::Impl &s)
{
    unsigned char sig;
    bool cancelled = false;
    while (sock::readSome(g_signalPipe[0], &sig, 1) > 0) {
        if (sig == SIGCHLD) {
            if (s.launcher && s.launcher->reap())
                s.launcherEnded();
        } else if (sig == SIGCONT) {
            if (s.editor)
                s.editor->resume(); // back from Ctrl-Z
        } else if (sig == SIGINT && s.editor && !cancelled && s.cancelRunning()) {
            cancelled = true;
        } else if (sig == SIGINT && s.editor && !cancelled && !s.editor->lineEmpty()) {
            s.editor->dropLine();
        } else if (!s.interrupted) {
            s.interrupted = true;
            if (!s.editor)
                s.print(""); // past the ^C the terminal echoed (the editor echoes none)
            s.printAt("==", "interrupted");
        }
    }
}

// How often the launcher's output is looked at, at the least.
constexpr int kFollowMs = 20;

// One wait of the loop: until `wake`, or something to read (or room for a flood).
bool pollOnce(Simulator::Impl &s, Clock::time_point wake)
{
    enum { kSignals, kListener, kConnection, kStdin, kCount };
    pollfd fds[kCount];
    // A stalled connection is not polled for input (nor for its end); a flood waits for room.
    const short connEvents = short((s.stalled ? 0 : POLLIN) | (s.flood.on ? POLLOUT : 0));
    fds[kSignals] = {g_signalPipe[0], POLLIN, 0};
    fds[kListener] = {s.listenFd, POLLIN, 0};
    fds[kConnection] = {connEvents ? s.connFd : -1, connEvents, 0};
    fds[kStdin] = {s.interactive && s.stdinOpen ? STDIN_FILENO : -1, POLLIN, 0};

    // The launcher's output files are read every turn: poll() cannot wait on a file.
    const bool following = s.launcher && (s.launcher->outFd() >= 0 || s.launcher->errFd() >= 0);
    auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count() + 1;
    waitMs = std::max<long long>(0, std::min<long long>(waitMs, following ? kFollowMs : 1000));
    if (::poll(fds, kCount, int(waitMs)) < 0) {
        if (errno == EINTR)
            return true;
        std::fprintf(stderr, "mcusim: poll: %s\n", std::strerror(errno));
        return false;
    }
    if (fds[kSignals].revents)
        takeSignals(s);
    if (s.interrupted)
        return true;
    // The connection first: its end must be seen before a new one is accepted.
    if ((fds[kConnection].revents & ~POLLOUT) && !s.stalled && s.connFd >= 0)
        s.readConnection();
    if (fds[kListener].revents && s.listenFd >= 0)
        s.acceptConnections();
    if (following) {
        s.readLauncher(LauncherLog::Out);
        s.readLauncher(LauncherLog::Err);
    }
    if (fds[kStdin].revents)
        s.readStdin();
    return true;
}

} // namespace

int Simulator::run()
{
    Impl &s = *d;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (const int code = prepare(s))
        return code;

    // A scenario that begins with close-listener starts with the service absent.
    const bool startClosed = !s.commands.empty() && s.commands.front().op == Op::CloseListener;
    if (!startClosed && !s.openListener())
        return kExitSocket;
    if (s.interactive && isatty(STDIN_FILENO)) {
        s.print("mcusim: type commands (help lists them), Ctrl-C cancels a wait, Ctrl-D or quit ends");
        if (s.opt.lineEditor)
            s.editor = s.opt.lineEditor({[&s] { return s.promptText(); },
                                         [&s](const std::string &line) { s.takeLine(line); },
                                         [&s] { s.stdinOpen = false; }});
    }

    for (;;) {
        const auto wake = s.step();
        if (s.interrupted)
            break;
        const bool done = s.current >= s.commands.size() && (s.finaleAt != 0 || !s.launcher);
        if (done && !s.interactive && !s.opt.monitor)
            break; // the scenario has ended
        if (done && s.interactive && !s.stdinOpen)
            break; // input ended and everything typed has run
        s.prompt();
        if (!pollOnce(s, wake))
            return kExitFailed;
    }
    s.editor.reset(); // the terminal as it was, before the summary
    if (s.launcher)
        s.launcher->kill(); // only an interruption leaves one running
    if (s.flood.on)
        s.endFlood();

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

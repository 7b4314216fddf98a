// The runners of the commands about the launcher as the simulator's child:
// its settings, its start and end, what it writes, and the replay of the
// session's capture against a fresh one.

#include "simulator_p.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace mcusim {

namespace {

using Impl = Simulator::Impl;
using Step = Impl::Step;
constexpr Step kDone = std::nullopt;

bool launched(Impl &s, const Command &c)
{
    if (s.launcher)
        return true;
    s.fail(c, "no launcher was launched (launch)");
    return false;
}

Step runSetting(Impl &s, Command &c)
{
    s.captureAction(c);
    const size_t eq = c.argument.find('=');
    s.settings[c.argument.substr(0, eq)] = c.argument.substr(eq + 1);
    return kDone;
}

// The stand-in settings store the launcher reads: one INI file, the unit's
// settings at its top level. Only under XDG_CONFIG_HOME, so that a scenario
// never writes over the settings of whoever runs it.
bool writeSettings(const std::map<std::string, std::string> &settings, std::string *error)
{
    const char *home = std::getenv("XDG_CONFIG_HOME");
    if (!home || !*home) {
        *error = "settings need XDG_CONFIG_HOME set: the launcher's settings are written there";
        return false;
    }
    const std::string dir = std::string(home) + "/headunit";
    ::mkdir(home, 0700);
    ::mkdir(dir.c_str(), 0700);
    std::ofstream ini(dir + "/sysset.ini", std::ios::out | std::ios::trunc);
    ini << "[General]\n";
    for (const auto &kv : settings)
        ini << kv.first << "=" << kv.second << "\n";
    ini.close();
    if (!ini)
        *error = "cannot write " + dir + "/sysset.ini: " + std::strerror(errno);
    return bool(ini);
}

Step runLaunch(Impl &s, Command &c)
{
    s.captureAction(c);
    if (s.launcher && s.launcher->running())
        return s.fail(c, "the launcher is running (terminate and expect-exit first)"), kDone;
    std::string error;
    if (s.opt.launcher.empty())
        return s.fail(c, "no launcher was given (mcusim --launcher PROGRAM ...)"), kDone;
    if (!s.settings.empty() && !writeSettings(s.settings, &error))
        return s.fail(c, error), kDone;
    auto child = std::make_unique<LauncherChild>();
    if (!child->start(s.opt.launcher, s.consoleStalled, s.editor != nullptr, &error))
        return s.fail(c, error), kDone;
    s.launcher = std::move(child);
    s.exitChecked = false;
    s.log.restart();
    if (s.consoleStalled)
        s.printAt("==", "the launcher's standard output is not read");
    std::string command;
    for (const std::string &word : s.opt.launcher)
        command += (command.empty() ? "" : " ") + word;
    s.printAt("==", "launched " + command + " (pid " + std::to_string(s.launcher->pid()) + ")");
    return kDone;
}

// For the next launch: its standard output is a pipe that nobody reads.
Step runConsoleStall(Impl &s, Command &c)
{
    s.captureAction(c);
    if (s.launcher && s.launcher->running())
        return s.fail(c, "the launcher runs already: a console stalls from its launch on"), kDone;
    s.consoleStalled = true;
    return kDone;
}

Step runConsoleGone(Impl &s, Command &c)
{
    s.captureAction(c);
    if (!launched(s, c))
        return kDone;
    if (!s.launcher->outStalled())
        return s.fail(c, "the launcher's console is not stalled (console stall before launch)"), kDone;
    s.launcher->closeStalledOut();
    s.printAt("==", "closed the launcher's standard output: its reader is gone");
    return kDone;
}

Step runTerminate(Impl &s, Command &c)
{
    s.captureAction(c);
    if (!launched(s, c))
        return kDone;
    if (s.launcher->running())
        s.printAt("==", "SIGTERM to the launcher");
    else
        s.printAt("==", "terminate: the launcher has ended already (" + s.launcher->endText() + ")");
    s.launcher->terminate();
    return kDone;
}

// The launcher's end, within the time from the last terminate (or from this
// command when it was not terminated), with the exit code wanted.
Step runExpectExit(Impl &s, Command &c)
{
    if (!launched(s, c))
        return kDone;
    LauncherChild &l = *s.launcher;
    const auto from = l.terminated() ? l.terminatedAt() : s.progress.startedAt;
    const auto limit = from + std::chrono::milliseconds(c.timeoutMs);
    const std::string since = l.terminated() ? " of SIGTERM" : "";
    if (!l.ended() && Clock::now() < limit)
        return limit;
    s.exitChecked = true;
    if (!l.ended()) {
        l.kill();
        return s.fail(c, "the launcher did not end within " + std::to_string(c.timeoutMs) + " ms" + since +
                             "; killed it"),
               kDone;
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(l.endedAt() - from).count();
    if (l.exitCode() != c.exitCode)
        s.fail(c, "the launcher ended with " + l.endText() + ", expected exit code " + std::to_string(c.exitCode));
    else if (l.endedAt() > limit)
        s.fail(c, "the launcher ended " + std::to_string(took) + " ms" + since + ", later than " +
                      std::to_string(c.timeoutMs) + " ms");
    else
        s.ok(c, l.terminated() ? "ended " + std::to_string(took) + " ms after SIGTERM" : std::string());
    return kDone;
}

// A line of the launcher's output, in order within its stream. Nothing more
// can come once both streams have ended.
Step runExpectLog(Impl &s, Command &c)
{
    if (!launched(s, c))
        return kDone;
    if (s.log.findInOrder(c.argument))
        return s.ok(c), kDone;
    const bool more = s.launcher->errFd() >= 0 || s.launcher->outFd() >= 0;
    if (more && Clock::now() < s.progress.deadline)
        return s.progress.deadline;
    s.fail(c, s.log.contains(c.argument) ? "launcher line out of order" : "launcher line missing");
    return kDone;
}

// Checked at the end (a copy of the command then), over every line.
Step runExpectNoLog(Impl &s, Command &c)
{
    if (!c.atEnd)
        return kDone;
    if (s.log.contains(c.argument))
        s.fail(c, "a launcher line holds it");
    else
        s.ok(c);
    return kDone;
}

// Ends the launcher the way the end would, then plays the capture of the
// session so far (which launches a fresh one) as the rest of the scenario.
Step runReplayCapture(Impl &s, Command &c)
{
    if (!s.capture)
        return s.fail(c, "no capture"), kDone;
    s.capture.reset();
    s.captureFile.close();
    std::string text = s.captureText.str();
    if (!s.opt.capturePath.empty()) {
        std::ifstream in(s.opt.capturePath);
        std::stringstream all;
        all << in.rdbuf();
        text = all.str();
    }
    Scenario replay = parseScenario(text, s.opt.parse);
    if (!replay.ok())
        return s.fail(c, "the capture does not parse: " + replay.errors.front()), kDone;
    s.printAt("==", "replaying the capture against a fresh launcher");
    std::vector<Command> next = s.launcherEnd("before the replay", c.line);
    next.insert(next.end(), replay.commands.begin(), replay.commands.end());
    s.commands.insert(s.commands.begin() + long(s.current) + 1, next.begin(), next.end());
    return kDone;
}

// A program that checks what the simulator cannot see (a recording, a
// picture), with the simulator's standard output and error. The scenario
// waits for it, for a bounded time: it is killed when that time is up.
Step runProgram(Impl &s, Command &c)
{
    std::vector<char *> argv;
    for (std::string &word : c.argv)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = -1;
    const int err = ::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (err != 0)
        return s.fail(c, "cannot run " + c.argv[0] + ": " + std::strerror(err)), kDone;
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() < s.progress.deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (done == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return s.fail(c, c.argv[0] + " did not end within " + std::to_string(c.timeoutMs) + " ms; killed it"), kDone;
    }
    if (done < 0)
        return s.fail(c, std::string("waiting for it: ") + std::strerror(errno)), kDone;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return s.ok(c), kDone;
    s.fail(c, WIFEXITED(status) ? "it exited with " + std::to_string(WEXITSTATUS(status))
                                : "it ended by signal " + std::to_string(WTERMSIG(status)));
    return kDone;
}

const std::pair<Op, Impl::Runner> kLauncherRunners[] = {
    {Op::Setting, runSetting},
    {Op::Launch, runLaunch},
    {Op::ConsoleStall, runConsoleStall},
    {Op::ConsoleGone, runConsoleGone},
    {Op::Terminate, runTerminate},
    {Op::ExpectExit, runExpectExit},
    {Op::ExpectLog, runExpectLog},
    {Op::ExpectNoLog, runExpectNoLog},
    {Op::ReplayCapture, runReplayCapture},
    {Op::Run, runProgram},
};

} // namespace

Impl::Runner Impl::launcherRunnerFor(Op op)
{
    for (const auto &r : kLauncherRunners)
        if (r.first == op)
            return r.second;
    return nullptr;
}

} // namespace mcusim

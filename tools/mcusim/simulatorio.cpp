#include "simulator_p.h"

#include "mcusocket.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

// The simulator's descriptors: its output, the listener and the connection,
// the launcher child's output, and the prompt's input.

namespace mcusim {

namespace sock = mcusocket;

namespace {

// Records not yet matched by an expect line are kept for later ones, up to this
// many (an interactive session that expects nothing must not grow without end).
// A launcher that was not read from hands over its whole backlog at once (its
// 64 KiB queue and the socket's buffer, some 16000 short records).
constexpr size_t kQueueLimit = 32768;

} // namespace

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

// --- output

CaptureWriter::Stamp Simulator::Impl::stamp() const
{
    return {std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(), wallStamp()};
}

void Simulator::Impl::print(const std::string &text)
{
    if (editor) {
        editor->printAbove(text); // the typed line is drawn again below
        return;
    }
    if (promptShown) {
        std::fputs("\r\033[K", stdout);
        promptShown = false;
    }
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Simulator::Impl::printAt(const std::string &arrow, const std::string &text)
{
    print(wallStamp() + " " + arrow + " " + text);
}

// The prompt while nothing runs; none while a command runs (what is typed
// then waits its turn).
std::string Simulator::Impl::promptText() const
{
    return current >= commands.size() ? "mcusim> " : "";
}

void Simulator::Impl::prompt()
{
    if (editor) {
        editor->updatePrompt();
        return;
    }
    if (interactive && isatty(STDIN_FILENO) && !promptShown && stdinOpen && current >= commands.size()) {
        std::fputs("mcusim> ", stdout);
        std::fflush(stdout);
        promptShown = true;
    }
}

std::string Simulator::Impl::hexSuffix(const Bytes &b) const
{
    return opt.showHex ? "  [" + hexDump(b) + "]" : std::string();
}

std::string Simulator::Impl::statusLine() const
{
    std::string s = std::string(connFd >= 0 ? (stalled ? "connected (not reading)" : "connected")
                                            : "not connected") +
                    ", " + (listenFd >= 0 ? "listening on " + displayName(opt.name) : "not listening");
    if (launcher)
        s += ", launcher " + (launcher->running() ? "running (pid " + std::to_string(launcher->pid()) + ")"
                                                  : "ended: " + launcher->endText());
    return s + ", " + std::to_string(sentRecords) + " records sent, " + std::to_string(receivedRecords) +
           " received";
}

std::string Simulator::Impl::summary() const
{
    return "summary: " + std::to_string(sentRecords) + " records sent, " + std::to_string(receivedRecords) +
           " received (" + std::to_string(heartbeats) + " heartbeats), " + std::to_string(generation) +
           " connections, expectations met " + std::to_string(expectationsMet) + " of " +
           std::to_string(expectations);
}

// --- the MCU link

bool Simulator::Impl::openListener()
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

void Simulator::Impl::closeListener()
{
    if (listenFd < 0)
        return;
    sock::closeFd(listenFd);
    listenFd = -1;
    if (opt.name[0] == '/')
        ::unlink(opt.name.c_str());
    printAt("==", "stopped listening: the service is absent");
}

void Simulator::Impl::dropConnection(const std::string &why)
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

void Simulator::Impl::connectionEnded(const std::string &why)
{
    // Before dropConnection, which notes it as a comment: a replay has to end
    // the connection itself, or its next wait-connect waits for nothing.
    if (capture && connFd >= 0)
        capture->peerClosed(stamp());
    dropConnection(why);
}

void Simulator::Impl::acceptConnections()
{
    for (;;) {
        const int fd = sock::acceptOne(listenFd);
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

void Simulator::Impl::readConnection()
{
    unsigned char buf[4096];
    for (;;) {
        const ssize_t n = sock::readSome(connFd, buf, sizeof buf);
        if (n > 0) {
            stream.append(buf, size_t(n));
            Bytes rec;
            while (stream.next(&rec))
                onRecord(rec);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        connectionEnded(n == 0 ? "launcher closed the connection"
                               : std::string("connection lost: ") + std::strerror(errno));
        return;
    }
}

void Simulator::Impl::pcapRecord(pcapng::Direction dir, const Bytes &rec)
{
    if (pcap.isOpen() && !pcap.write(pcapng::nowUsec(), dir, generation, rec.data(), rec.size()))
        print("!! the pcapng capture " + pcap.path() + " cannot be written: " + std::strerror(errno) +
              "; it ends here");
}

void Simulator::Impl::onRecord(const Bytes &rec)
{
    ++receivedRecords;
    Decoded d = decodeFromLauncher(rec);
    const bool heartbeat = d.name == "heartbeat";
    if (heartbeat)
        ++heartbeats;
    if (!(heartbeat && opt.quietHeartbeats))
        printAt("<-", d.text() + hexSuffix(rec));
    if (capture)
        capture->received(stamp(), d);
    pcapRecord(pcapng::Direction::Inbound, rec);
    queue.push_back(Received{generation, rec, std::move(d)});
    if (queue.size() > kQueueLimit)
        queue.pop_front();
}

// --- the launcher child

// What the launcher's output file holds beyond what was read. Once the
// launcher has ended, all of it, and the stream is finished.
void Simulator::Impl::readLauncher(LauncherLog::Stream s)
{
    const int fd = s == LauncherLog::Out ? launcher->outFd() : launcher->errFd();
    if (fd < 0)
        return;
    const char *prefix = s == LauncherLog::Out ? "launcher| " : "launcher! ";
    std::vector<std::string> lines;
    char buf[16384];
    ssize_t n = 0;
    // A bounded turn while it runs: a launcher that writes without pause must not starve the link.
    for (int turn = 0; (turn < 64 || launcher->ended()) && (n = sock::readSome(fd, buf, sizeof buf)) > 0; ++turn)
        log.append(s, buf, size_t(n), &lines);
    if (launcher->ended() || n < 0) {
        log.finish(s, &lines);
        s == LauncherLog::Out ? launcher->closeOut() : launcher->closeErr();
    }
    // One write for the lot: a flooded launcher writes tens of thousands a second.
    std::string text;
    for (const std::string &line : lines)
        text += prefix + line + "\n";
    if (!text.empty()) {
        text.pop_back();
        print(text);
    }
}

void Simulator::Impl::launcherEnded()
{
    readLauncher(LauncherLog::Out);
    readLauncher(LauncherLog::Err);
    printAt("==", "the launcher ended: " + launcher->endText());
    if (capture)
        capture->exited(stamp(), launcher->exitCode(), launcher->endText());
}

void Simulator::Impl::readStdin()
{
    if (editor) {
        editor->readKeys();
        if (!stdinOpen)
            editor.reset(); // quit or Ctrl-D: the terminal as it was
        return;
    }
    char buf[1024];
    const ssize_t n = sock::readSome(STDIN_FILENO, buf, sizeof buf);
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
        const std::string line = stdinBuf.substr(0, nl);
        stdinBuf.erase(0, nl + 1);
        takeLine(line);
    }
    if (stdinBuf.size() > 65536) {
        print("!! input line too long, dropped");
        stdinBuf.clear();
    }
}

void Simulator::Impl::takeLine(const std::string &line)
{
    promptShown = false;
    ++typedLines;
    const std::string typed = commandText(line);
    if (typed == "quit" || typed == "exit") {
        stdinOpen = false;
        return;
    }
    if (typed == "status") {
        print(statusLine());
        return;
    }
    Words words;
    std::string ignored;
    if (splitWords(typed, &words, &ignored) && !words.empty() && words[0].is("help")) {
        print(words.size() == 1 ? commandHelp()
                                : words.size() == 2 ? commandUsage(words[1].s) : "usage: help [COMMAND]");
        return;
    }
    Command c;
    bool isCommand = false;
    std::string error;
    if (!parseLine(line, typedLines, opt.parse, &c, &isCommand, &error))
        print("error: " + error);
    else if (isCommand)
        commands.push_back(std::move(c));
}

} // namespace mcusim

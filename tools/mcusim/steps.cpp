// The runners of the commands on the MCU link: each takes its command one
// step further and says when to call it again.

#include "simulator_p.h"

#include "mcurecords.h"
#include "mcusocket.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace mcusim {

namespace sock = mcusocket;

namespace {

using Impl = Simulator::Impl;
using Step = Impl::Step;
constexpr Step kDone = std::nullopt;

// How long a send may wait for the launcher to take bytes before it fails.
constexpr int kSendTimeoutMs = 5000;

std::string msText(Clock::duration d)
{
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()) + " ms";
}

// Bytes that are one record as the launcher frames it (a replayed capture's
// hex lines are): shown by name like any other.
bool isWholeRecord(const Bytes &b)
{
    if (b.size() < size_t(mcu::kHeaderSize))
        return false;
    if (mcu::loadLe32(b.data()) == mcu::kKindShort)
        return b.size() == size_t(mcu::kShortRecordSize);
    return mcu::loadLe32(b.data() + 8) == b.size();
}

// What a send or a flood shows of its record.
std::string sentText(const Command &c)
{
    if (c.raw && !isWholeRecord(c.bytes))
        return "hex " + std::to_string(c.bytes.size()) + " bytes";
    return decodeToLauncher(c.bytes).text();
}

void showSend(Impl &s, const Command &c)
{
    const std::string writes =
        c.cuts.empty() ? std::string() : "  (in " + std::to_string(c.cuts.size() + 1) + " writes)";
    ++s.sentRecords;
    if (c.raw)
        s.printAt("->", sentText(c) + ": " + hexString(c.bytes.data(), std::min<size_t>(c.bytes.size(), 48)) +
                            (c.bytes.size() > 48 ? " ..." : "") + writes);
    else
        s.printAt("->", sentText(c) + writes + s.hexSuffix(c.bytes));
    if (s.capture)
        s.capture->sent(s.stamp(), c.text, decodeToLauncher(c.bytes), c.pauseMs * int(c.cuts.size()));
    s.pcapRecord(pcapng::Direction::Outbound, c.bytes);
}

Step runSend(Impl &s, Command &c)
{
    if (s.connFd < 0)
        return s.fail(c, kNotConnected), kDone;
    size_t &piece = s.progress.piece;
    if (piece > 0 && Clock::now() < s.progress.deadline)
        return s.progress.deadline; // the pause between two pieces
    if (piece == 0)
        showSend(s, c);
    const size_t from = piece == 0 ? 0 : c.cuts[piece - 1];
    const size_t to = piece < c.cuts.size() ? c.cuts[piece] : c.bytes.size();
    std::string error;
    if (!sock::sendAll(s.connFd, c.bytes.data() + from, to - from, kSendTimeoutMs, &error)) {
        s.fail(c, error);
        s.connectionEnded("connection lost while sending");
        return kDone;
    }
    if (to == c.bytes.size())
        return kDone;
    ++piece;
    s.progress.deadline = Clock::now() + std::chrono::milliseconds(c.pauseMs);
    return s.progress.deadline;
}

// Writes whole copies of the flood's record while there is room. False
// when the connection is gone. Each turn is bounded, so that the poll loop
// still sees signals and (unless stalled) reads what the launcher sends.
bool floodSome(Impl &s)
{
    const Bytes &r = s.flood.record;
    for (int i = 0; i < 1024; ++i) {
        const ssize_t w = sock::sendNow(s.connFd, r.data(), r.size());
        if (w == ssize_t(r.size())) {
            ++s.flood.sent;
            s.pcapRecord(pcapng::Direction::Outbound, r);
            continue;
        }
        if (w == 0) {
            ++s.flood.full;
            return true;
        }
        std::string error = w < 0 ? std::strerror(errno) : std::string();
        if (w > 0 && sock::sendAll(s.connFd, r.data() + w, r.size() - size_t(w), kSendTimeoutMs, &error)) {
            ++s.flood.sent; // the rest of a record cut by a full socket
            s.pcapRecord(pcapng::Direction::Outbound, r);
            continue;
        }
        s.connectionEnded("connection lost during the flood: " + error);
        return false;
    }
    return true;
}

bool startFlood(Impl &s, const Command &c, bool background)
{
    if (s.connFd < 0)
        return s.fail(c, kNotConnected), false;
    if (s.flood.on)
        return s.fail(c, "a flood is on already (flood off first)"), false;
    s.captureAction(c);
    s.flood = Impl::Flood{true, background, c.bytes, 0, 0, Clock::now()};
    s.printAt("->", (background ? std::string("flood on") : "flood for " + std::to_string(c.timeoutMs) + " ms") +
                        ": " + sentText(c));
    return true;
}

Step runFlood(Impl &s, Command &c)
{
    if (!s.flood.on && !startFlood(s, c, false))
        return kDone;
    if (Clock::now() < s.progress.deadline && s.connFd >= 0 && floodSome(s))
        return s.progress.deadline; // woken early by room on the socket
    s.endFlood();
    return kDone;
}

Step runFloodOn(Impl &s, Command &c)
{
    startFlood(s, c, true);
    return kDone;
}

Step runFloodOff(Impl &s, Command &c)
{
    s.captureAction(c);
    if (s.flood.on)
        s.endFlood();
    else
        s.printAt("->", "flood off: no flood is on");
    return kDone;
}

Step runExpect(Impl &s, Command &c)
{
    for (size_t i = 0; i < s.queue.size(); ++i) {
        if (matches(c, s.queue[i].decoded, s.queue[i].raw)) {
            s.ok(c);
            s.queue.erase(s.queue.begin(), s.queue.begin() + long(i) + 1);
            return kDone;
        }
        if (c.next)
            break;
    }
    if (c.next && !s.queue.empty()) {
        s.fail(c, "the next record was: " + s.queue.front().decoded.text());
        s.queue.pop_front();
        return kDone;
    }
    if (Clock::now() >= s.progress.deadline)
        return s.fail(c, "nothing matching arrived within " + std::to_string(c.timeoutMs) + " ms"), kDone;
    return s.progress.deadline;
}

Step runExpectNone(Impl &s, Command &c)
{
    for (const Received &r : s.queue)
        if (matches(c, r.decoded, r.raw))
            return s.fail(c, "it came: " + r.decoded.text()), kDone;
    if (Clock::now() < s.progress.deadline)
        return s.progress.deadline;
    s.ok(c);
    return kDone;
}

Step runSleep(Impl &s, Command &)
{
    return Clock::now() < s.progress.deadline ? Step(s.progress.deadline) : kDone;
}

Step runWaitConnect(Impl &s, Command &c)
{
    if (s.connFd >= 0 && s.generation > s.claimed) {
        s.claimed = s.generation;
        // What an earlier connection sent is no answer to what comes next.
        while (!s.queue.empty() && s.queue.front().generation < s.generation)
            s.queue.pop_front();
        return kDone;
    }
    if (Clock::now() < s.progress.deadline)
        return s.progress.deadline;
    std::string why = "no connection within " + std::to_string(c.timeoutMs) + " ms";
    if (s.connFd >= 0)
        why += " (connection " + std::to_string(s.generation) +
               " is still open and was waited for already: a new one comes once it ends)";
    return s.fail(c, why), kDone;
}

Step runWaitDisconnect(Impl &s, Command &c)
{
    if (!s.progress.watched)
        s.progress.watched = s.generation;
    // Ended, or ended and already made anew by the launcher.
    if (s.connFd < 0 || s.generation != *s.progress.watched)
        return kDone;
    if (Clock::now() < s.progress.deadline)
        return s.progress.deadline;
    return s.fail(c, "the launcher stayed connected for " + std::to_string(c.timeoutMs) + " ms"), kDone;
}

// Listens again; openListener() has said why when it cannot.
Step listenAgain(Impl &s, const Command &c)
{
    if (!s.openListener())
        s.fail(c, "cannot listen");
    return kDone;
}

// Commands done at once.

Step runDisconnect(Impl &s, Command &c)
{
    s.captureAction(c);
    if (s.connFd >= 0)
        s.dropConnection(kDisconnected);
    else
        s.printAt("==", "disconnect: no connection");
    return kDone;
}

Step runCloseListener(Impl &s, Command &c)
{
    s.captureAction(c);
    s.closeListener();
    return kDone;
}

Step runListen(Impl &s, Command &c)
{
    s.captureAction(c);
    return listenAgain(s, c);
}

Step runStall(Impl &s, Command &c)
{
    s.captureAction(c);
    s.stalled = true;
    s.printAt("==", "stopped reading the connection");
    return kDone;
}

Step runResume(Impl &s, Command &c)
{
    s.captureAction(c);
    if (s.stalled)
        s.printAt("==", "reading the connection again");
    s.stalled = false; // the loop reads what is waiting
    return kDone;
}

Step runRestart(Impl &s, Command &c)
{
    if (!s.progress.down) {
        s.captureAction(c);
        s.printAt("==", "restarting the service");
        // The listener goes first: a launcher that sees the end of its
        // connection must find the service absent, not queue up on a
        // listener about to close.
        s.closeListener();
        s.dropConnection(kDisconnected);
        s.progress.down = true;
        return s.progress.deadline = Clock::now() + std::chrono::milliseconds(c.timeoutMs);
    }
    if (Clock::now() < s.progress.deadline)
        return s.progress.deadline;
    return listenAgain(s, c);
}

const std::pair<Op, Impl::Runner> kLinkRunners[] = {
    {Op::Send, runSend},
    {Op::Flood, runFlood},
    {Op::FloodOn, runFloodOn},
    {Op::FloodOff, runFloodOff},
    {Op::Expect, runExpect},
    {Op::ExpectNone, runExpectNone},
    {Op::Sleep, runSleep},
    {Op::WaitConnect, runWaitConnect},
    {Op::WaitDisconnect, runWaitDisconnect},
    {Op::Disconnect, runDisconnect},
    {Op::CloseListener, runCloseListener},
    {Op::Listen, runListen},
    {Op::Restart, runRestart},
    {Op::Stall, runStall},
    {Op::Resume, runResume},
};

} // namespace

void Impl::floodMore()
{
    if (flood.on && flood.background && (connFd < 0 || !floodSome(*this)))
        endFlood();
}

// A lost connection ends a flood early: the time is the time it ran.
void Impl::endFlood()
{
    flood.on = false;
    sentRecords += flood.sent;
    printAt("->", "flood ended: " + std::to_string(flood.sent) + " records sent in " +
                      msText(Clock::now() - flood.start) + "; the launcher's socket was full " +
                      std::to_string(flood.full) + " times" +
                      (connFd < 0 ? " (cut short: the connection is gone)" : ""));
}

Impl::Runner Impl::runnerFor(Op op)
{
    for (const auto &r : kLinkRunners)
        if (r.first == op)
            return r.second;
    return launcherRunnerFor(op);
}

} // namespace mcusim

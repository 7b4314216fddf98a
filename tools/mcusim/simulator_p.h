#ifndef MCUSIM_SIMULATOR_P_H
#define MCUSIM_SIMULATOR_P_H

// The simulator's state, shared by its event loop (simulator.cpp) and the
// runners of its commands (steps.cpp, launchsteps.cpp).

#include "capture.h"
#include "launcherchild.h"
#include "launcherlog.h"
#include "launcherstream.h"
#include "pcapng.h"
#include "simulator.h"

#include <chrono>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

namespace mcusim {

using Clock = std::chrono::steady_clock;

struct Received {
    unsigned generation;
    Bytes raw;
    Decoded decoded;
};

// "HH:MM:SS.mmm", local time.
std::string wallStamp();
// The service name as it is shown: "@name" for an abstract one.
std::string displayName(const std::string &name);

// Lines that more than one part prints.
extern const char *const kNotConnected;
extern const char *const kDisconnected;

struct Simulator::Impl {
    // A runner's verdict: nullopt when its command is done (met or failed),
    // else the time to run it again at (sooner when something arrives).
    using Step = std::optional<Clock::time_point>;
    using Runner = Step (*)(Impl &s, Command &c);
    static Runner runnerFor(Op op);
    static Runner launcherRunnerFor(Op op);

    SimOptions opt;
    int listenFd = -1;
    int connFd = -1;
    unsigned generation = 0; // connections accepted so far
    unsigned claimed = 0;    // the last one a wait-connect took
    LauncherStream stream;
    std::deque<Received> queue;

    std::vector<Command> commands;
    size_t current = 0;
    size_t finaleAt = 0; // where the end's checks begin in commands; 0: not added yet

    // The running command's own state, reset for each command.
    struct Progress {
        bool started = false;
        Clock::time_point startedAt;
        Clock::time_point deadline;
        std::string expectedFailure;  // expect-fail: why it failed
        size_t piece = 0;             // send: the next piece of a split write
        bool down = false;            // restart: the service is away
        std::optional<unsigned> watched; // wait-disconnect: the connection it watches
    } progress;

    bool interactive = false; // commands come from stdin
    std::unique_ptr<LineEditor> editor; // the prompt on a terminal, while input is open
    bool promptShown = false;
    bool stdinOpen = false;
    std::string stdinBuf;
    int typedLines = 0;

    bool stalled = false;  // stall: the connection is not read
    // A flood, for a time (flood DURATION) or in the background (flood on).
    struct Flood {
        bool on = false; // wake when there is room
        bool background = false;
        Bytes record;
        unsigned long sent = 0;
        unsigned long full = 0; // times the launcher's socket had no room
        Clock::time_point start;
    } flood;

    // The launcher as a child (--launcher).
    std::unique_ptr<LauncherChild> launcher;
    LauncherLog log;
    std::map<std::string, std::string> settings;
    bool consoleStalled = false;
    bool exitChecked = true; // no launcher, or its end was expected already

    bool failed = false;
    bool interrupted = false;
    int expectations = 0;
    int expectationsMet = 0;
    unsigned long sentRecords = 0;
    unsigned long receivedRecords = 0;
    unsigned long heartbeats = 0;

    std::ofstream captureFile;
    std::ostringstream captureText; // for replay-capture when no file is asked for
    std::unique_ptr<CaptureWriter> capture;
    pcapng::Writer pcap; // --pcap: the records of both directions
    // One whole record to the pcapng capture, if one is being written.
    void pcapRecord(pcapng::Direction dir, const Bytes &rec);

    Clock::time_point t0 = Clock::now();

    // Output.
    CaptureWriter::Stamp stamp() const;
    void print(const std::string &text);
    void printAt(const std::string &arrow, const std::string &text);
    void prompt();
    std::string promptText() const;
    std::string hexSuffix(const Bytes &b) const;
    std::string statusLine() const;
    std::string summary() const;

    // The MCU link.
    bool openListener();
    void closeListener();
    void dropConnection(const std::string &why);
    void connectionEnded(const std::string &why); // the launcher's doing
    void acceptConnections();
    void readConnection();
    void onRecord(const Bytes &rec);

    // The launcher child.
    void readLauncher(LauncherLog::Stream s);
    void launcherEnded();

    // Commands.
    void floodMore(); // a background flood: what the socket takes now
    void endFlood();
    Clock::time_point step();
    void startCommand(Command &c);
    void finishCommand();
    void ok(const Command &c, const std::string &note = std::string());
    void fail(const Command &c, const std::string &why);
    void addFinale();
    // Ctrl-C at the prompt while a command runs: the command fails as
    // cancelled and the commands typed after it are dropped. False when none runs.
    bool cancelRunning();
    void captureAction(const Command &c); // a command the capture writes as given
    // terminate and expect-exit 0 for a launcher whose end is not checked yet.
    std::vector<Command> launcherEnd(const std::string &when, int line) const;
    void readStdin();
    void takeLine(const std::string &line);
};

} // namespace mcusim

#endif // MCUSIM_SIMULATOR_P_H

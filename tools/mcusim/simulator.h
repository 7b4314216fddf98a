#ifndef MCUSIM_SIMULATOR_H
#define MCUSIM_SIMULATOR_H

#include "lineeditor.h"
#include "scenario.h"

#include <memory>
#include <string>
#include <vector>

namespace mcusim {

// Exit codes of the program.
enum ExitCode {
    kExitOk = 0,          // every expectation met (or a session ended by the user)
    kExitFailed = 1,      // an expectation or a command failed
    kExitUsage = 2,       // bad options or a bad scenario: nothing was sent
    kExitSocket = 3,      // the service name could not be listened on
    kExitInterrupted = 4, // SIGINT/SIGTERM before the scenario's end
};

struct SimOptions {
    std::string name = "quillhaven"; // abstract name; "/path" for a path name
    std::string scenarioPath;        // play this file; empty: commands from stdin
    bool monitor = false;            // no commands at all: show traffic until a signal
    std::string capturePath;         // write the session as a replayable scenario
    std::string pcapPath;            // write every record both ways to a pcapng file
    bool fast = false;               // a replayed pcapng capture: no pauses between records
    bool showHex = false;            // every traffic line also shows the record's bytes
    bool quietHeartbeats = false;    // count heartbeats without a line each
    // The launcher's command line, an emulator in front where one is needed;
    // the launch command starts it. Empty: launch is refused.
    std::vector<std::string> launcher;
    ParseOptions parse;
    // The prompt's line editor when standard input is a terminal; null, or
    // a factory that gives null: lines are read as they come.
    std::unique_ptr<LineEditor> (*lineEditor)(LineEditor::Hooks) = nullptr;
};

// The MCU service: listens for the launcher, decodes and prints everything that
// crosses, and runs commands from a scenario or typed at the prompt. One
// connection at a time; when it dies the next one is taken. It may start the
// launcher itself and check what it writes and how it ends. Single-threaded:
// one poll loop over the listener, the connection, stdin, the launcher's
// output and a signal pipe.
class Simulator
{
public:
    explicit Simulator(SimOptions options);
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Runs until the scenario ends, input ends, a failure (scenario mode) or a
    // signal. Returns an ExitCode.
    int run();

    struct Impl; // simulator_p.h: shared by the loop and the commands' runners

private:
    std::unique_ptr<Impl> d;
};

} // namespace mcusim

#endif // MCUSIM_SIMULATOR_H

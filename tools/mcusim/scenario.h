#ifndef MCUSIM_SCENARIO_H
#define MCUSIM_SCENARIO_H

// The simulator's command language, one command a line, shared by scenario files,
// the interactive prompt and replayed captures. README.md describes it.

#include "codec.h"
#include "words.h"

#include <map>
#include <string>
#include <vector>

namespace mcusim {

enum class Op {
    // The MCU link.
    Send,           // write bytes to the launcher
    Flood,          // send one record over and over, as fast as the launcher takes it
    FloodOn,        // the same in the background, while the next commands run
    FloodOff,       // end a background flood
    Expect,         // wait for a matching record from the launcher
    ExpectNone,     // fail if a matching record arrives within the time
    Sleep,
    WaitConnect,    // wait for a connection made after the last one waited for
    WaitDisconnect, // wait for the launcher to close its connection
    Disconnect,     // close the connection; the listener stays
    CloseListener,  // stop listening: the service is absent
    Listen,         // listen again
    Restart,        // disconnect, close the listener, wait, listen again
    Stall,          // stop reading the connection: the launcher's writes fill it up
    Resume,         // read again
    // The launcher as a child of the simulator.
    Setting,        // a launcher setting, stored before it starts
    Launch,         // start it
    ConsoleStall,   // stop reading its standard output
    ConsoleGone,    // close the reading end of its standard output
    Terminate,      // SIGTERM
    ExpectExit,     // it ends with a code within a time of the last terminate
    ExpectLog,      // a line of its output, in order within its stream
    ExpectNoLog,    // a text none of its lines holds, checked at the end
    ReplayCapture,  // play this session's capture against a fresh launcher
    // Outside the pair.
    Run,            // a program that checks something else; it must exit 0 within a time
};

// One value of an expect line. key empty: positional, matched against the
// record's fields in order.
struct FieldMatch {
    std::string key;
    std::string value;
};

struct Command {
    Op op = Op::Send;
    int line = 0;
    std::string text; // the line as written (placeholders filled in), without its comment
    bool mustFail = false; // expect-fail: the command has to fail
    bool atEnd = false;    // one of the checks the simulator adds at the end

    // Send, Flood
    Bytes bytes;
    std::vector<size_t> cuts; // split points: each piece is its own write
    int pauseMs = 0;          // between pieces
    bool raw = false;         // written with hex: no record structure to show

    // Expect / ExpectNone
    std::string name;           // a launcherRecordShapes() name, "bytes" or "any"
    std::vector<FieldMatch> matches;
    Bytes exact;                // name "bytes": the record starts with these, the rest is zero
    bool next = false;          // the very next record must match

    // Setting (KEY=VALUE), ExpectLog and ExpectNoLog (the text)
    std::string argument;
    // ExpectExit
    int exitCode = 0;
    // Run: the program and its arguments
    std::vector<std::string> argv;

    // Expect, ExpectNone, ExpectLog, ExpectExit, WaitConnect, WaitDisconnect,
    // Sleep, Restart, Flood, Run
    int timeoutMs = 0;
};

struct ParseOptions {
    int expectTimeoutMs = 5000;
    int expectNoneTimeoutMs = 1000;
    int connectTimeoutMs = 30000;
    int restartPauseMs = 200;
    int splitPauseMs = 30;
    // Waits for what the launcher does itself: its lines, its end.
    int logTimeoutMs = 10000;
    int exitTimeoutMs = 30000;
    // ${SCALED N} is N times this; the two launcher waits above are scaled by
    // whoever sets it (the program's --time-scale).
    double timeScale = 1;
    // ${NAME} and the NAME of "if NAME=VALUE".
    std::map<std::string, std::string> defines;
};

// Parses one line (without its newline). Empty and comment lines, and lines
// whose "if" does not hold, give ok with *isCommand false. On error, *error is
// the message without the line number.
bool parseLine(const std::string &line, int lineNo, const ParseOptions &opts, Command *out,
               bool *isCommand, std::string *error);

struct Scenario {
    std::vector<Command> commands;
    std::vector<std::string> errors; // "line N: message", every bad line of the text
    bool ok() const { return errors.empty(); }
};

Scenario parseScenario(const std::string &text, const ParseOptions &opts = ParseOptions());

// One line for each command with its arguments, for the prompt's help.
std::string commandHelp();
// "usage: ..." of the command NAME; for an unknown name, that it is unknown
// and the names there are.
std::string commandUsage(const std::string &name);

// Does the decoded record satisfy the expect command? (name, values; not "bytes")
bool matches(const Command &expect, const Decoded &record, const Bytes &raw);

} // namespace mcusim

#endif // MCUSIM_SCENARIO_H

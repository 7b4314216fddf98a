#ifndef MCUSIM_SCENARIO_H
#define MCUSIM_SCENARIO_H

// The simulator's command language, one command a line, shared by scenario files,
// the interactive prompt and replayed captures. docs/mcusim.md describes it.

#include "codec.h"

#include <string>
#include <vector>

namespace mcusim {

enum class Op {
    Send,          // write bytes to the launcher
    Expect,        // wait for a matching record from the launcher
    ExpectNone,    // fail if a matching record arrives within the time
    Sleep,
    Disconnect,    // close the connection; the listener stays
    WaitConnect,   // wait for a connection made after the last one waited for
    CloseListener, // stop listening: the service is absent
    Listen,        // listen again
    Restart,       // disconnect, close the listener, wait, listen again
    WaitDisconnect, // wait for the launcher to close its connection
    Stall,         // stop reading the connection: the launcher's writes fill it up
    Resume,        // read again
    Flood,         // send one record over and over, as fast as the launcher takes it
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
    std::string text; // the line as written, trimmed, without its comment

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

    // Expect, ExpectNone, WaitConnect, WaitDisconnect, Sleep, Restart, Flood
    int timeoutMs = 0;
};

struct ParseOptions {
    int expectTimeoutMs = 5000;
    int expectNoneTimeoutMs = 1000;
    int connectTimeoutMs = 30000;
    int restartPauseMs = 200;
    int splitPauseMs = 30;
};

// Parses one line (without its newline). Empty and comment lines give ok with
// *isCommand false. On error, *error is the message without the line number.
bool parseLine(const std::string &line, int lineNo, const ParseOptions &opts, Command *out,
               bool *isCommand, std::string *error);

struct Scenario {
    std::vector<Command> commands;
    std::vector<std::string> errors; // "line N: message", every bad line of the text
    bool ok() const { return errors.empty(); }
};

Scenario parseScenario(const std::string &text, const ParseOptions &opts = ParseOptions());

// Does the decoded record satisfy the expect command? (name, values; not "bytes")
bool matches(const Command &expect, const Decoded &record, const Bytes &raw);

// Splits a line into words: double quotes group, backslash escapes inside them,
// '#' after blank space (or at the start) begins a comment. False on an open quote.
bool tokenize(const std::string &line, std::vector<std::string> *words, std::string *error);

// "5s", "250ms", "1.5s"; false otherwise.
bool parseDuration(const std::string &word, int *ms);

} // namespace mcusim

#endif // MCUSIM_SCENARIO_H

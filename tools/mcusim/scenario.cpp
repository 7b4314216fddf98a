#include "scenario.h"

#include "placeholders.h"
#include "sendcommands.h"

#include <sstream>

namespace mcusim {

namespace {

// The words of one command, from words[at] (its name) on.
struct Line {
    const Words &w;
    size_t at;
    const ParseOptions &opts;
    std::string *error;
    const char *usage = ""; // the command's, from its table entry

    size_t count() const { return w.size() - at - 1; } // arguments
    const Word &arg(size_t i) const { return w[at + 1 + i]; }

    bool fail(std::string why) const
    {
        *error = std::move(why);
        return false;
    }
    bool badUsage() const { return fail(std::string("usage: ") + usage); }
    bool duration(const std::string &word, int *ms) const
    {
        return parseDuration(word, ms) || fail("not a duration: '" + word + "' (e.g. 3s, 250ms)");
    }
    // A trailing "within DURATION": sets *ms and drops the two words from *end.
    bool within(size_t *end, int *ms) const
    {
        if (*end >= at + 3 && w[*end - 2].is("within")) {
            *end -= 2;
            return duration(w[*end + 1].s, ms);
        }
        if (*end >= at + 2 && w[*end - 1].is("within"))
            return fail("'within' needs a duration");
        return true;
    }
    // The words from `from` to `end` as one text, single blanks between.
    std::string joined(size_t from, size_t end) const
    {
        std::string t;
        for (size_t i = from; i < end; ++i)
            t += (i > from ? " " : "") + w[i].s;
        return t;
    }
};

struct CommandParser {
    const char *name;
    const char *usage;
    bool (*parse)(const Line &l, Command *c);
};

bool noArguments(const Line &l, Command *c, Op op)
{
    c->op = op;
    return l.count() == 0 || l.fail("'" + l.w[l.at].s + "' takes no arguments");
}

std::string knownRecordNames()
{
    std::string known;
    for (const RecordShape &s : launcherRecordShapes())
        known += std::string(known.empty() ? "" : ", ") + s.name;
    return known + ", bytes, any";
}

// KEY=VALUE and positional values of an expect line, against the record's fields.
bool parseFieldMatches(const Line &l, size_t from, size_t end, Command *c)
{
    const RecordShape *shape = findLauncherShape(c->name);
    size_t positional = 0;
    for (size_t i = from; i < end; ++i) {
        const Word &word = l.w[i];
        const size_t eq = word.quoted ? std::string::npos : word.s.find('=');
        FieldMatch m;
        if (eq == std::string::npos || eq == 0) {
            if (!shape || positional >= shape->keys.size())
                return l.fail("too many values for '" + c->name + "'");
            m = {shape->keys[positional++], word.s};
        } else {
            m = {word.s.substr(0, eq), word.s.substr(eq + 1)};
            std::string keys;
            bool known = false;
            for (const std::string &k : shape ? shape->keys : std::vector<std::string>()) {
                known = known || k == m.key;
                keys += std::string(keys.empty() ? "" : ", ") + k;
            }
            if (!known)
                return l.fail("'" + c->name + "' has no field '" + m.key + "'" +
                              (keys.empty() ? std::string() : " (fields: " + keys + ")"));
        }
        c->matches.push_back(std::move(m));
    }
    return true;
}

bool parseExpect(const Line &l, Command *c)
{
    size_t i = l.at + 1;
    c->op = Op::Expect;
    c->timeoutMs = l.opts.expectTimeoutMs;
    if (i < l.w.size() && l.w[i].is("next")) {
        c->next = true;
        ++i;
    } else if (i < l.w.size() && l.w[i].is("no")) {
        c->op = Op::ExpectNone;
        c->timeoutMs = l.opts.expectNoneTimeoutMs;
        ++i;
    }
    if (i >= l.w.size())
        return l.badUsage();
    c->name = l.w[i++].s;
    size_t end = l.w.size();
    if (!l.within(&end, &c->timeoutMs))
        return false;
    if (end < i)
        return l.fail("'within' needs a duration");
    if (c->name == "bytes")
        return (end > i || l.fail("usage: expect bytes HEX...")) &&
               parseByteList(Words(l.w.begin() + long(i), l.w.begin() + long(end)), 0, &c->exact, l.error);
    if (c->name != "any" && !findLauncherShape(c->name))
        return l.fail("unknown record name '" + c->name + "' (one of: " + knownRecordNames() + ")");
    return parseFieldMatches(l, i, end, c);
}

// wait-connect, wait-disconnect: [within DURATION]
bool parseWait(const Line &l, Command *c, Op op)
{
    c->op = op;
    c->timeoutMs = l.opts.connectTimeoutMs;
    if (l.count() == 2 && l.arg(0).is("within"))
        return l.duration(l.arg(1).s, &c->timeoutMs);
    return l.count() == 0 || l.badUsage();
}

// The send command at words[at], and how its bytes are cut into writes.
bool parseSendAt(const Line &l, size_t at, Command *c)
{
    if (!findSendCommand(l.w[at].s))
        return l.fail("unknown command '" + l.w[at].s + "'");
    c->raw = l.w[at].s == "hex";
    return encodeSend(l.w, at, &c->bytes, l.error);
}

// split AT[,AT...] [pause DURATION] COMMAND ... and trickle [pause DURATION] COMMAND ...
bool parseSplit(const Line &l, Command *c, bool trickle)
{
    size_t at = l.at + 1;
    std::vector<size_t> cuts;
    if (!trickle) {
        if (l.count() < 1)
            return l.badUsage();
        std::stringstream ss(l.w[at++].s);
        std::string piece;
        while (std::getline(ss, piece, ',')) {
            uint32_t v;
            if (!parseU32(piece, &v) || v == 0)
                return l.fail("split points are byte offsets from 1: '" + l.w[at - 1].s + "'");
            cuts.push_back(v);
        }
    }
    c->pauseMs = l.opts.splitPauseMs;
    if (at + 1 < l.w.size() && l.w[at].is("pause")) {
        if (!l.duration(l.w[at + 1].s, &c->pauseMs))
            return false;
        at += 2;
    }
    if (at >= l.w.size())
        return l.fail("'" + l.w[l.at].s + "' needs a command to send");
    if (!parseSendAt(l, at, c))
        return false;
    if (trickle)
        for (size_t i = 1; i < c->bytes.size(); ++i)
            cuts.push_back(i);
    for (size_t i = 0; i < cuts.size(); ++i)
        if (cuts[i] >= c->bytes.size() || (i > 0 && cuts[i] <= cuts[i - 1]))
            return l.fail("split points must rise and stay inside the " + std::to_string(c->bytes.size()) +
                          "-byte record");
    c->cuts = std::move(cuts);
    return true;
}

// expect-log / expect-no-log TEXT... [within DURATION]
bool parseLogText(const Line &l, Command *c, Op op)
{
    c->op = op;
    c->timeoutMs = l.opts.logTimeoutMs;
    size_t end = l.w.size();
    if (op == Op::ExpectLog && !l.within(&end, &c->timeoutMs))
        return false;
    c->argument = l.joined(l.at + 1, end);
    return !c->argument.empty() || l.badUsage();
}

const std::vector<CommandParser> kParsers = {
    {"expect", "expect [next|no] NAME [VALUE|KEY=VALUE ...] [within DURATION]", parseExpect},
    {"sleep", "sleep DURATION (e.g. 500ms, 2s)",
     [](const Line &l, Command *c) {
         c->op = Op::Sleep;
         return (l.count() == 1 && parseDuration(l.arg(0).s, &c->timeoutMs)) ||
                l.badUsage();
     }},
    {"wait-connect", "wait-connect [within DURATION]",
     [](const Line &l, Command *c) { return parseWait(l, c, Op::WaitConnect); }},
    {"wait-disconnect", "wait-disconnect [within DURATION]",
     [](const Line &l, Command *c) { return parseWait(l, c, Op::WaitDisconnect); }},
    {"disconnect", "disconnect", [](const Line &l, Command *c) { return noArguments(l, c, Op::Disconnect); }},
    {"close-listener", "close-listener",
     [](const Line &l, Command *c) { return noArguments(l, c, Op::CloseListener); }},
    {"listen", "listen", [](const Line &l, Command *c) { return noArguments(l, c, Op::Listen); }},
    {"restart", "restart [DURATION]",
     [](const Line &l, Command *c) {
         c->op = Op::Restart;
         c->timeoutMs = l.opts.restartPauseMs;
         if (l.count() == 1)
             return l.duration(l.arg(0).s, &c->timeoutMs);
         return l.count() == 0 || l.badUsage();
     }},
    {"stall", "stall", [](const Line &l, Command *c) { return noArguments(l, c, Op::Stall); }},
    {"resume", "resume", [](const Line &l, Command *c) { return noArguments(l, c, Op::Resume); }},
    {"flood", "flood DURATION|on COMMAND ... | flood off (e.g. flood 2s param 1)",
     [](const Line &l, Command *c) {
         // Whole records only, never split.
         if (l.count() == 1 && l.arg(0).is("off"))
             return c->op = Op::FloodOff, true;
         c->op = l.count() > 0 && l.arg(0).is("on") ? Op::FloodOn : Op::Flood;
         if (l.count() < 2 || !findSendCommand(l.arg(1).s) ||
             (c->op == Op::Flood && !parseDuration(l.arg(0).s, &c->timeoutMs)))
             return l.badUsage();
         return parseSendAt(l, l.at + 2, c);
     }},
    {"split", "split AT[,AT...] [pause DURATION] COMMAND ...",
     [](const Line &l, Command *c) { return parseSplit(l, c, false); }},
    {"trickle", "trickle [pause DURATION] COMMAND ...",
     [](const Line &l, Command *c) { return parseSplit(l, c, true); }},
    {"setting", "setting KEY=VALUE",
     [](const Line &l, Command *c) {
         c->op = Op::Setting;
         c->argument = l.count() == 1 ? l.arg(0).s : std::string();
         const size_t eq = c->argument.find('=');
         return (eq != std::string::npos && eq > 0) || l.badUsage();
     }},
    {"launch", "launch", [](const Line &l, Command *c) { return noArguments(l, c, Op::Launch); }},
    {"console", "console stall|gone",
     [](const Line &l, Command *c) {
         const bool stall = l.count() == 1 && l.arg(0).is("stall");
         c->op = stall ? Op::ConsoleStall : Op::ConsoleGone;
         return stall || (l.count() == 1 && l.arg(0).is("gone")) || l.badUsage();
     }},
    {"terminate", "terminate", [](const Line &l, Command *c) { return noArguments(l, c, Op::Terminate); }},
    {"expect-exit", "expect-exit CODE [within DURATION] (CODE 0..255)",
     [](const Line &l, Command *c) {
         c->op = Op::ExpectExit;
         c->timeoutMs = l.opts.exitTimeoutMs;
         size_t end = l.w.size();
         uint32_t code = 0;
         if (!l.within(&end, &c->timeoutMs))
             return false;
         if (end != l.at + 2 || !parseU32(l.arg(0).s, &code) || code > 255)
             return l.badUsage();
         c->exitCode = int(code);
         return true;
     }},
    {"expect-log", "expect-log TEXT [within DURATION]",
     [](const Line &l, Command *c) { return parseLogText(l, c, Op::ExpectLog); }},
    {"expect-no-log", "expect-no-log TEXT",
     [](const Line &l, Command *c) { return parseLogText(l, c, Op::ExpectNoLog); }},
    {"run", "run PROGRAM [ARG ...] [within DURATION]",
     [](const Line &l, Command *c) {
         c->op = Op::Run;
         c->timeoutMs = l.opts.logTimeoutMs;
         size_t end = l.w.size();
         if (!l.within(&end, &c->timeoutMs))
             return false;
         for (size_t i = l.at + 1; i < end; ++i)
             c->argv.push_back(l.w[i].s);
         return !c->argv.empty() || l.badUsage();
     }},
    {"replay-capture", "replay-capture",
     [](const Line &l, Command *c) { return noArguments(l, c, Op::ReplayCapture); }},
};

// "if NAME=VALUE": whether it holds; false with *error when it cannot be read.
bool condition(const Line &l, bool *holds)
{
    const std::string &s = l.count() >= 2 ? l.arg(0).s : std::string();
    const size_t eq = s.find('=');
    if (eq == std::string::npos || eq == 0)
        return l.fail("usage: if NAME=VALUE COMMAND ...");
    const auto it = l.opts.defines.find(s.substr(0, eq));
    if (it == l.opts.defines.end())
        return l.fail(s.substr(0, eq) + " is not defined (mcusim -D " + s.substr(0, eq) + "=VALUE)");
    *holds = it->second == s.substr(eq + 1);
    return true;
}

// The command at words[at], after any "if" and "expect-fail" in front of it.
bool parseCommand(const Words &w, size_t at, const ParseOptions &opts, Command *c, bool *holds,
                  std::string *error)
{
    const Line l{w, at, opts, error};
    if (w[at].is("if")) {
        bool here = true;
        if (!condition(l, &here))
            return false;
        *holds = *holds && here;
        return parseCommand(w, at + 2, opts, c, holds, error);
    }
    if (w[at].is("expect-fail")) {
        if (l.count() == 0)
            return l.fail("usage: expect-fail COMMAND ...");
        c->mustFail = true;
        return parseCommand(w, at + 1, opts, c, holds, error);
    }
    for (const CommandParser &p : kParsers)
        if (w[at].is(p.name))
            return p.parse(Line{w, at, opts, error, p.usage}, c);
    c->op = Op::Send;
    return parseSendAt(l, at, c);
}

bool valueMatches(const std::string &key, const std::string &want, const std::string &have)
{
    if (want == have)
        return true;
    if (!want.empty() && want.back() == '*')
        return have.compare(0, want.size() - 1, want, 0, want.size() - 1) == 0;
    if (want.size() > 1 && want.front() == '*')
        return have.size() >= want.size() - 1 &&
               have.compare(have.size() - (want.size() - 1), want.size() - 1, want, 1, want.size() - 1) == 0;
    long double a, b;
    if (parseSigned(want, &a) && parseSigned(have, &b))
        return a == b;
    // A date matches by its leading parts: "2021-01-01" or "2021-01-01 13:05".
    if (key == "date" && have.size() > want.size() && have.compare(0, want.size(), want) == 0)
        return have[want.size()] == ' ' || have[want.size()] == ':';
    return false;
}

} // namespace

bool parseLine(const std::string &line, int lineNo, const ParseOptions &opts, Command *out,
               bool *isCommand, std::string *error)
{
    *isCommand = false;
    Command c;
    c.line = lineNo;
    if (!expandPlaceholders(commandText(line), {opts.timeScale, &opts.defines, 0}, &c.text, error))
        return false;
    Words w;
    if (!splitWords(c.text, &w, error))
        return false;
    if (w.empty())
        return true;
    bool holds = true;
    if (!parseCommand(w, 0, opts, &c, &holds, error))
        return false;
    *isCommand = holds;
    if (holds)
        *out = std::move(c);
    return true;
}

Scenario parseScenario(const std::string &text, const ParseOptions &opts)
{
    Scenario s;
    std::stringstream in(text);
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        Command c;
        bool isCommand = false;
        std::string error;
        if (!parseLine(line, lineNo, opts, &c, &isCommand, &error))
            s.errors.push_back("line " + std::to_string(lineNo) + ": " + error);
        else if (isCommand && !s.commands.empty() && s.commands.back().op == Op::ReplayCapture)
            s.errors.push_back("line " + std::to_string(lineNo) + ": nothing may follow replay-capture");
        else if (isCommand)
            s.commands.push_back(std::move(c));
    }
    return s;
}

namespace {

// The prefixes and the prompt's own commands, which no table above parses.
const std::pair<const char *, const char *> kOtherCommands[] = {
    {"if", "if NAME=VALUE COMMAND ..."},
    {"expect-fail", "expect-fail COMMAND ..."},
    {"status", "status"},
    {"help", "help [COMMAND]"},
    {"quit", "quit"},
};

} // namespace

std::string commandHelp()
{
    std::string help = "records to the launcher:\n";
    for (const SendCommand &c : sendCommands())
        help += std::string("  ") + c.usage + "\n";
    help += "waiting, the connection and the launcher:\n";
    for (const CommandParser &p : kParsers)
        help += std::string("  ") + p.usage + "\n";
    for (const auto &other : kOtherCommands)
        help += std::string("  ") + other.second + "\n";
    return help + "(see README.md)";
}

std::string commandUsage(const std::string &name)
{
    if (const SendCommand *c = findSendCommand(name))
        return std::string("usage: ") + c->usage;
    std::string names;
    for (const CommandParser &p : kParsers) {
        if (name == p.name)
            return std::string("usage: ") + p.usage;
        names += std::string(", ") + p.name;
    }
    for (const auto &other : kOtherCommands) {
        if (name == other.first)
            return std::string("usage: ") + other.second;
        names += std::string(", ") + other.first;
    }
    std::string sends;
    for (const SendCommand &c : sendCommands())
        sends += std::string(sends.empty() ? "" : ", ") + c.name;
    return "no command '" + name + "'; the commands: " + sends + names;
}

bool matches(const Command &expect, const Decoded &record, const Bytes &raw)
{
    if (expect.name == "bytes") {
        if (raw.size() < expect.exact.size())
            return false;
        for (size_t i = 0; i < raw.size(); ++i)
            if (raw[i] != (i < expect.exact.size() ? expect.exact[i] : 0))
                return false;
        return true;
    }
    if (expect.name != "any" && expect.name != record.name)
        return false;
    for (const FieldMatch &m : expect.matches) {
        const Field *fl = record.field(m.key);
        if (!fl || !valueMatches(m.key, m.value, fl->value))
            return false;
    }
    return true;
}

} // namespace mcusim

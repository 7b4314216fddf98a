#include "scenario.h"

#include "mcurecords.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace mcusim {

namespace {

struct Word {
    std::string s;
    bool quoted = false;
};

// Appends the text of a quoted string that starts at *i (just after its opening
// quote) to out, with \" and \\ unescaped, and moves *i past the closing
// quote. False when the line ends first.
bool appendQuoted(const std::string &line, size_t *i, std::string *out)
{
    const size_t n = line.size();
    while (*i < n) {
        const char c = line[(*i)++];
        if (c == '\\' && *i < n)
            *out += line[(*i)++];
        else if (c == '"')
            return true;
        else
            *out += c;
    }
    return false;
}

bool split(const std::string &line, std::vector<Word> *words, std::string *error)
{
    words->clear();
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        while (i < n && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        if (i >= n || line[i] == '#')
            break;
        Word w;
        if (line[i] == '"') {
            w.quoted = true;
            ++i;
            if (!appendQuoted(line, &i, &w.s)) {
                *error = "unterminated quote";
                return false;
            }
            // key="value" is one word: handled below, a quote right after '='.
        } else {
            while (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
                if (line[i] == '"') {
                    // key="two words"
                    ++i;
                    if (!appendQuoted(line, &i, &w.s)) {
                        *error = "unterminated quote";
                        return false;
                    }
                    continue;
                }
                w.s += line[i++];
            }
        }
        words->push_back(std::move(w));
    }
    return true;
}

bool parseU64(const std::string &s, uint64_t *v)
{
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return false;
    int base = 10;
    const char *p = s.c_str();
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        p += 2;
    }
    errno = 0;
    char *end = nullptr;
    unsigned long long r = std::strtoull(p, &end, base);
    if (errno || end == p || *end)
        return false;
    *v = r;
    return true;
}

bool parseU32(const std::string &s, uint32_t *v)
{
    uint64_t r;
    if (!parseU64(s, &r) || r > 0xffffffffull)
        return false;
    *v = uint32_t(r);
    return true;
}

// A byte of a byte list: two hex digits, optionally 0x in front.
bool parseHexByte(const std::string &s, unsigned char *b)
{
    std::string d = s;
    if (d.size() > 2 && d[0] == '0' && (d[1] == 'x' || d[1] == 'X'))
        d = d.substr(2);
    if (d.empty() || d.size() > 2)
        return false;
    unsigned v = 0;
    for (char c : d) {
        v <<= 4;
        if (c >= '0' && c <= '9')
            v |= unsigned(c - '0');
        else if (c >= 'a' && c <= 'f')
            v |= unsigned(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            v |= unsigned(c - 'A' + 10);
        else
            return false;
    }
    *b = static_cast<unsigned char>(v);
    return true;
}

// Hex bytes and "quoted text" (its bytes as they are), from words[from] on.
bool parseByteList(const std::vector<Word> &words, size_t from, Bytes *out, std::string *error)
{
    for (size_t i = from; i < words.size(); ++i) {
        if (words[i].quoted) {
            out->insert(out->end(), words[i].s.begin(), words[i].s.end());
            continue;
        }
        unsigned char b;
        if (!parseHexByte(words[i].s, &b)) {
            *error = "not a hex byte: '" + words[i].s + "'";
            return false;
        }
        out->push_back(b);
    }
    return true;
}

bool isNumber(const std::string &s, long double *v)
{
    if (s.empty())
        return false;
    uint64_t u;
    if (parseU64(s, &u)) {
        *v = static_cast<long double>(u);
        return true;
    }
    if (s[0] == '-' && parseU64(s.substr(1), &u)) {
        *v = -static_cast<long double>(u);
        return true;
    }
    return false;
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
    if (isNumber(want, &a) && isNumber(have, &b))
        return a == b;
    // A date matches by its leading parts: "2021-01-01" or "2021-01-01 13:05".
    if (key == "date" && have.size() > want.size() && have.compare(0, want.size(), want) == 0)
        return have[want.size()] == ' ' || have[want.size()] == ':';
    return false;
}

// The words of a send command to bytes.
bool encodeSend(const std::vector<Word> &w, size_t at, Bytes *bytes, std::string *error)
{
    const std::string &cmd = w[at].s;
    const size_t nargs = w.size() - at - 1;
    auto arg = [&](size_t i) -> const std::string & { return w[at + 1 + i].s; };
    auto needArgs = [&](size_t lo, size_t hi, const char *usage) {
        if (nargs < lo || nargs > hi) {
            *error = std::string("usage: ") + usage;
            return false;
        }
        return true;
    };
    auto u32 = [&](size_t i, const char *what, uint32_t *v) {
        if (!parseU32(arg(i), v)) {
            *error = std::string(what) + " is not a number 0..4294967295: '" + arg(i) + "'";
            return false;
        }
        return true;
    };

    if (cmd == "time") {
        if (!needArgs(1, 2, "time YYYY-MM-DD [HH:MM[:SS]] | time SECONDS"))
            return false;
        std::string joined = nargs == 2 ? arg(0) + " " + arg(1) : arg(0);
        int64_t secs;
        uint32_t v;
        if (nargs == 1 && parseU32(arg(0), &v)) {
            *bytes = encodeTime(v);
        } else if (nargs == 1 && arg(0).size() > 1 && arg(0)[0] == '-' &&
                   parseU32(arg(0).substr(1), &v) && v <= 0x80000000u) {
            *bytes = encodeTime(uint32_t(-int64_t(v)));
        } else if (parseLocalTime(joined, &secs)) {
            if (secs < INT32_MIN || secs > UINT32_MAX) {
                *error = "date out of the 32-bit range: '" + joined + "'";
                return false;
            }
            *bytes = encodeTime(uint32_t(secs));
        } else {
            *error = "not a date or a number of seconds: '" + joined + "'";
            return false;
        }
        return true;
    }
    if (cmd == "rds-time") {
        if (!needArgs(1, 1, "rds-time H:M"))
            return false;
        unsigned h = 0, m = 0;
        char tail = 0;
        if (std::sscanf(arg(0).c_str(), "%u:%u%c", &h, &m, &tail) != 2 || h > 255 || m > 255) {
            *error = "not an hour and minute H:M (each 0..255): '" + arg(0) + "'";
            return false;
        }
        *bytes = encodeRdsTime(h, m);
        return true;
    }
    if (cmd == "mcu-version") {
        std::string text;
        for (size_t i = 0; i < nargs; ++i)
            text += (i ? " " : "") + arg(i);
        if (text.size() > kMaxVersionText) {
            *error = "version text longer than " + std::to_string(kMaxVersionText) + " bytes";
            return false;
        }
        *bytes = encodeMcuVersion(text);
        return true;
    }
    if (cmd == "uuid") {
        if (!needArgs(1, 2, "uuid [PREFIX] SERIAL"))
            return false;
        std::string prefix = nargs == 2 ? arg(0) : std::string();
        if (prefix.size() > 2) {
            *error = "uuid prefix is at most 2 characters: '" + prefix + "'";
            return false;
        }
        uint32_t serial;
        if (!u32(nargs - 1, "serial", &serial))
            return false;
        *bytes = encodeUuid(prefix, serial);
        return true;
    }
    if (cmd == "mcu-type") {
        uint32_t v;
        if (!needArgs(1, 1, "mcu-type N") || !u32(0, "type", &v))
            return false;
        *bytes = encodeShort(MSG_M2A_MCU_TYPE, v, 0);
        return true;
    }
    if (cmd == "version-query") {
        if (!needArgs(0, 0, "version-query"))
            return false;
        *bytes = encodeShort(MSG_M2A_VERSION_QUERY, 0, 0);
        return true;
    }
    if (cmd == "key") {
        uint32_t p1, p2;
        if (!needArgs(2, 2, "key P1 P2") || !u32(0, "p1", &p1) || !u32(1, "p2", &p2))
            return false;
        *bytes = encodeShort(MSG_M2A_KEY_PRESSED, p1, p2);
        return true;
    }
    if (cmd == "eject") {
        if (!needArgs(0, 0, "eject"))
            return false;
        *bytes = encodeShort(MSG_M2A_PARAM, 47, 0);
        return true;
    }
    if (cmd == "param") {
        uint32_t p2;
        if (!needArgs(1, 1, "param P2") || !u32(0, "p2", &p2))
            return false;
        *bytes = encodeShort(MSG_M2A_PARAM, 13, p2);
        return true;
    }
    if (cmd == "heartbeat-ack") {
        uint32_t p1 = 0, p2 = 0;
        if (!needArgs(0, 2, "heartbeat-ack [P1 [P2]]") || (nargs > 0 && !u32(0, "p1", &p1)) ||
            (nargs > 1 && !u32(1, "p2", &p2)))
            return false;
        *bytes = encodeShort(MSG_M2A_HEARTBEAT_ACK, p1, p2);
        return true;
    }
    if (cmd == "short") {
        uint32_t m, p1, p2;
        if (!needArgs(3, 3, "short MSG P1 P2") || !u32(0, "msg", &m) || !u32(1, "p1", &p1) ||
            !u32(2, "p2", &p2))
            return false;
        *bytes = encodeShort(m, p1, p2);
        return true;
    }
    if (cmd == "key-study") {
        Bytes pl;
        if (!parseByteList(w, at + 1, &pl, error))
            return false;
        if (pl.size() != 18) {
            *error = "key-study takes exactly 18 bytes, not " + std::to_string(pl.size());
            return false;
        }
        *bytes = encodeKeyStudy(pl);
        return true;
    }
    if (cmd == "forward" || cmd == "can") {
        uint32_t id;
        if (nargs < 1) {
            *error = "usage: " + cmd + " ID BYTES...";
            return false;
        }
        if (!u32(0, "id", &id))
            return false;
        if (cmd == "forward" && id != 57 && !(id >= 64 && id <= 76)) {
            *error = "forward takes the ids 57 and 64..76, not " + std::to_string(id) +
                     " (use 'long 2 ID ...' for any other)";
            return false;
        }
        Bytes pl;
        if (!parseByteList(w, at + 2, &pl, error))
            return false;
        if (pl.size() > size_t(mcu::kPayloadSize)) {
            *error = "payload longer than 256 bytes";
            return false;
        }
        *bytes = encodeLong(cmd == "can" ? mcu::kKindCan : mcu::kKindMcu, id, pl);
        return true;
    }
    if (cmd == "sim" || cmd == "mcm") {
        Bytes pl;
        if (!parseByteList(w, at + 1, &pl, error))
            return false;
        if (pl.size() > size_t(mcu::kPayloadSize)) {
            *error = "payload longer than 256 bytes";
            return false;
        }
        *bytes = encodeLong(mcu::kKindMcu, cmd == "sim" ? MSG_M2A_SIM : MSG_M2A_MCM, pl);
        return true;
    }
    if (cmd == "long") {
        uint32_t kind, id, len = 0;
        if (nargs < 2) {
            *error = "usage: long KIND ID [len N] BYTES...";
            return false;
        }
        if (!u32(0, "kind", &kind) || !u32(1, "id", &id))
            return false;
        size_t from = at + 3;
        const bool haveLen = nargs >= 3 && w[at + 3].s == "len" && !w[at + 3].quoted;
        if (haveLen) {
            if (nargs < 4) {
                *error = "usage: long KIND ID [len N] BYTES...";
                return false;
            }
            if (!u32(3, "len", &len))
                return false;
            from = at + 5;
        }
        Bytes pl;
        if (!parseByteList(w, from, &pl, error))
            return false;
        if (pl.size() > size_t(mcu::kPayloadSize)) {
            *error = "payload longer than 256 bytes";
            return false;
        }
        *bytes = haveLen ? encodeLong(kind, id, pl, len) : encodeLong(kind, id, pl);
        return true;
    }
    if (cmd == "hex") {
        if (nargs == 0) {
            *error = "usage: hex BYTES...";
            return false;
        }
        return parseByteList(w, at + 1, bytes, error);
    }
    *error = "unknown command '" + cmd + "'";
    return false;
}

bool isSendCommand(const std::string &c)
{
    static const char *names[] = {"time", "rds-time", "mcu-version", "uuid", "mcu-type",
                                  "version-query", "key", "eject", "param", "heartbeat-ack",
                                  "short", "key-study", "forward", "can", "sim", "mcm",
                                  "long", "hex"};
    for (const char *n : names)
        if (c == n)
            return true;
    return false;
}

bool parseExpect(const std::vector<Word> &w, const ParseOptions &opts, Command *c, std::string *error)
{
    size_t i = 1;
    c->op = Op::Expect;
    c->timeoutMs = opts.expectTimeoutMs;
    if (i < w.size() && w[i].s == "next" && !w[i].quoted) {
        c->next = true;
        ++i;
    } else if (i < w.size() && w[i].s == "no" && !w[i].quoted) {
        c->op = Op::ExpectNone;
        c->timeoutMs = opts.expectNoneTimeoutMs;
        ++i;
    }
    if (i >= w.size()) {
        *error = "usage: expect [next|no] NAME [VALUE|KEY=VALUE ...] [within DURATION]";
        return false;
    }
    c->name = w[i++].s;
    size_t end = w.size();
    if (end >= 2 && w[end - 2].s == "within" && !w[end - 2].quoted) {
        if (!parseDuration(w[end - 1].s, &c->timeoutMs)) {
            *error = "not a duration: '" + w[end - 1].s + "' (e.g. 3s, 250ms)";
            return false;
        }
        end -= 2;
    } else if (end >= 1 && w[end - 1].s == "within" && !w[end - 1].quoted) {
        *error = "'within' needs a duration";
        return false;
    }
    if (end < i) {
        *error = "'within' needs a duration";
        return false;
    }
    if (c->name == "bytes") {
        std::vector<Word> rest(w.begin() + long(i), w.begin() + long(end));
        if (rest.empty()) {
            *error = "usage: expect bytes HEX...";
            return false;
        }
        return parseByteList(rest, 0, &c->exact, error);
    }
    const RecordShape *shape = c->name == "any" ? nullptr : findLauncherShape(c->name);
    if (!shape && c->name != "any") {
        std::string known;
        for (const RecordShape &s : launcherRecordShapes())
            known += std::string(known.empty() ? "" : ", ") + s.name;
        *error = "unknown record name '" + c->name + "' (one of: " + known + ", bytes, any)";
        return false;
    }
    size_t positional = 0;
    for (; i < end; ++i) {
        const std::string &s = w[i].s;
        const size_t eq = w[i].quoted ? std::string::npos : s.find('=');
        FieldMatch m;
        if (eq == std::string::npos || eq == 0) {
            if (!shape || positional >= shape->keys.size()) {
                *error = "too many values for '" + c->name + "'";
                return false;
            }
            m.key = shape->keys[positional++];
            m.value = s;
        } else {
            m.key = s.substr(0, eq);
            m.value = s.substr(eq + 1);
            bool known = false;
            if (shape)
                for (const std::string &k : shape->keys)
                    known = known || k == m.key;
            if (!known) {
                std::string keys;
                if (shape)
                    for (const std::string &k : shape->keys)
                        keys += std::string(keys.empty() ? "" : ", ") + k;
                *error = "'" + c->name + "' has no field '" + m.key + "'" +
                         (keys.empty() ? std::string() : " (fields: " + keys + ")");
                return false;
            }
        }
        c->matches.push_back(std::move(m));
    }
    return true;
}

} // namespace

bool tokenize(const std::string &line, std::vector<std::string> *words, std::string *error)
{
    std::vector<Word> w;
    if (!split(line, &w, error))
        return false;
    words->clear();
    for (Word &x : w)
        words->push_back(std::move(x.s));
    return true;
}

bool parseDuration(const std::string &word, int *ms)
{
    double factor;
    std::string digits;
    if (word.size() > 2 && word.compare(word.size() - 2, 2, "ms") == 0) {
        factor = 1;
        digits = word.substr(0, word.size() - 2);
    } else if (word.size() > 1 && word.back() == 's') {
        factor = 1000;
        digits = word.substr(0, word.size() - 1);
    } else {
        return false;
    }
    if (digits.empty() || digits.find_first_not_of("0123456789.") != std::string::npos)
        return false;
    char *end = nullptr;
    double v = std::strtod(digits.c_str(), &end);
    if (!end || *end || !std::isfinite(v) || v * factor > 24.0 * 3600 * 1000)
        return false;
    *ms = int(std::lround(v * factor));
    return true;
}

bool parseLine(const std::string &line, int lineNo, const ParseOptions &opts, Command *out,
               bool *isCommand, std::string *error)
{
    std::vector<Word> w;
    *isCommand = false;
    if (!split(line, &w, error))
        return false;
    if (w.empty())
        return true;

    Command c;
    c.line = lineNo;
    // The text without comment or surrounding blanks, for the output and captures.
    {
        size_t b = line.find_first_not_of(" \t");
        std::string t = line.substr(b);
        // Cut a trailing comment that stands outside quotes.
        bool inq = false;
        for (size_t i = 0; i < t.size(); ++i) {
            if (t[i] == '\\' && inq) {
                ++i;
            } else if (t[i] == '"') {
                inq = !inq;
            } else if (!inq && t[i] == '#' && i > 0 && (t[i - 1] == ' ' || t[i - 1] == '\t')) {
                t.resize(i);
                break;
            }
        }
        while (!t.empty() && (t.back() == ' ' || t.back() == '\t' || t.back() == '\r'))
            t.pop_back();
        c.text = t;
    }

    const std::string &cmd = w[0].s;
    auto noArgs = [&](Op op) {
        if (w.size() != 1) {
            *error = "'" + cmd + "' takes no arguments";
            return false;
        }
        c.op = op;
        return true;
    };

    if (cmd == "expect") {
        if (!parseExpect(w, opts, &c, error))
            return false;
    } else if (cmd == "sleep") {
        if (w.size() != 2 || !parseDuration(w[1].s, &c.timeoutMs)) {
            *error = "usage: sleep DURATION (e.g. 500ms, 2s)";
            return false;
        }
        c.op = Op::Sleep;
    } else if (cmd == "wait-connect" || cmd == "wait-disconnect") {
        c.op = cmd == "wait-connect" ? Op::WaitConnect : Op::WaitDisconnect;
        c.timeoutMs = opts.connectTimeoutMs;
        if (w.size() == 3 && w[1].s == "within") {
            if (!parseDuration(w[2].s, &c.timeoutMs)) {
                *error = "not a duration: '" + w[2].s + "'";
                return false;
            }
        } else if (w.size() != 1) {
            *error = "usage: " + cmd + " [within DURATION]";
            return false;
        }
    } else if (cmd == "disconnect") {
        if (!noArgs(Op::Disconnect))
            return false;
    } else if (cmd == "stall") {
        if (!noArgs(Op::Stall))
            return false;
    } else if (cmd == "resume") {
        if (!noArgs(Op::Resume))
            return false;
    } else if (cmd == "flood") {
        // flood DURATION SEND-COMMAND ...: whole records only, never split.
        if (w.size() < 3 || !parseDuration(w[1].s, &c.timeoutMs) || !isSendCommand(w[2].s)) {
            *error = "usage: flood DURATION COMMAND ... (e.g. flood 2s param 1)";
            return false;
        }
        if (!encodeSend(w, 2, &c.bytes, error))
            return false;
        c.op = Op::Flood;
        c.raw = w[2].s == "hex";
    } else if (cmd == "close-listener") {
        if (!noArgs(Op::CloseListener))
            return false;
    } else if (cmd == "listen") {
        if (!noArgs(Op::Listen))
            return false;
    } else if (cmd == "restart") {
        c.op = Op::Restart;
        c.timeoutMs = opts.restartPauseMs;
        if (w.size() == 2) {
            if (!parseDuration(w[1].s, &c.timeoutMs)) {
                *error = "not a duration: '" + w[1].s + "'";
                return false;
            }
        } else if (w.size() != 1) {
            *error = "usage: restart [DURATION]";
            return false;
        }
    } else {
        // [split AT[,AT...] | trickle] [pause DURATION] SEND-COMMAND ...
        size_t at = 0;
        bool trickle = false;
        std::vector<size_t> cuts;
        c.pauseMs = opts.splitPauseMs;
        if (w[0].s == "split" || w[0].s == "trickle") {
            trickle = w[0].s == "trickle";
            at = 1;
            if (!trickle) {
                if (w.size() < 2) {
                    *error = "usage: split AT[,AT...] [pause DURATION] COMMAND ...";
                    return false;
                }
                std::stringstream ss(w[1].s);
                std::string piece;
                while (std::getline(ss, piece, ',')) {
                    uint32_t v;
                    if (!parseU32(piece, &v) || v == 0) {
                        *error = "split points are byte offsets from 1: '" + w[1].s + "'";
                        return false;
                    }
                    cuts.push_back(v);
                }
                at = 2;
            }
            if (at + 1 < w.size() && w[at].s == "pause") {
                if (!parseDuration(w[at + 1].s, &c.pauseMs)) {
                    *error = "not a duration: '" + w[at + 1].s + "'";
                    return false;
                }
                at += 2;
            }
            if (at >= w.size()) {
                *error = "'" + w[0].s + "' needs a command to send";
                return false;
            }
        }
        if (!isSendCommand(w[at].s)) {
            *error = "unknown command '" + w[at].s + "'";
            return false;
        }
        if (!encodeSend(w, at, &c.bytes, error))
            return false;
        c.op = Op::Send;
        c.raw = w[at].s == "hex";
        if (trickle) {
            for (size_t i = 1; i < c.bytes.size(); ++i)
                c.cuts.push_back(i);
        } else {
            size_t last = 0;
            for (size_t v : cuts) {
                if (v <= last || v >= c.bytes.size()) {
                    *error = "split points must rise and stay inside the " +
                             std::to_string(c.bytes.size()) + "-byte record";
                    return false;
                }
                last = v;
            }
            c.cuts = cuts;
        }
    }
    *out = std::move(c);
    *isCommand = true;
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
        else if (isCommand)
            s.commands.push_back(std::move(c));
    }
    return s;
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

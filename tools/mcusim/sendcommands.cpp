#include "sendcommands.h"

#include "mcurecords.h"

#include <cstdio>

namespace mcusim {

// The arguments of one send command, with the checks every entry needs.
struct SendArgs {
    const Words &w;
    size_t at; // the command's name
    std::string *error;

    size_t count() const { return w.size() - at - 1; }
    const std::string &operator[](size_t i) const { return w[at + 1 + i].s; }

    bool u32(size_t i, const char *what, uint32_t *v) const
    {
        if (parseU32((*this)[i], v))
            return true;
        *error = std::string(what) + " is not a number 0..4294967295: '" + (*this)[i] + "'";
        return false;
    }
    // The bytes from argument i on: at most one payload's worth.
    bool payload(size_t i, Bytes *out) const
    {
        if (!parseByteList(w, at + 1 + i, out, error))
            return false;
        if (out->size() <= size_t(mcu::kPayloadSize))
            return true;
        *error = "payload longer than " + std::to_string(mcu::kPayloadSize) + " bytes";
        return false;
    }
    bool fail(std::string why) const
    {
        *error = std::move(why);
        return false;
    }
};

namespace {

bool encodeTimeCommand(const SendArgs &a, Bytes *out)
{
    const std::string joined = a.count() == 2 ? a[0] + " " + a[1] : a[0];
    uint32_t v;
    int64_t secs;
    if (a.count() == 1 && parseU32(a[0], &v)) {
        *out = encodeTime(v);
    } else if (a.count() == 1 && a[0].size() > 1 && a[0][0] == '-' && parseU32(a[0].substr(1), &v) &&
               v <= 0x80000000u) {
        *out = encodeTime(uint32_t(-int64_t(v)));
    } else if (!parseLocalTime(joined, &secs)) {
        return a.fail("not a date or a number of seconds: '" + joined + "'");
    } else if (secs < INT32_MIN || secs > UINT32_MAX) {
        return a.fail("date out of the 32-bit range: '" + joined + "'");
    } else {
        *out = encodeTime(uint32_t(secs));
    }
    return true;
}

bool encodeRdsTimeCommand(const SendArgs &a, Bytes *out)
{
    unsigned h = 0, m = 0;
    char tail = 0;
    if (std::sscanf(a[0].c_str(), "%u:%u%c", &h, &m, &tail) != 2 || h > 255 || m > 255)
        return a.fail("not an hour and minute H:M (each 0..255): '" + a[0] + "'");
    *out = encodeRdsTime(h, m);
    return true;
}

bool encodeMcuVersionCommand(const SendArgs &a, Bytes *out)
{
    std::string text;
    for (size_t i = 0; i < a.count(); ++i)
        text += (i ? " " : "") + a[i];
    if (text.size() > kMaxVersionText)
        return a.fail("version text longer than " + std::to_string(kMaxVersionText) + " bytes");
    *out = encodeMcuVersion(text);
    return true;
}

bool encodeUuidCommand(const SendArgs &a, Bytes *out)
{
    const std::string prefix = a.count() == 2 ? a[0] : std::string();
    if (prefix.size() > 2)
        return a.fail("uuid prefix is at most 2 characters: '" + prefix + "'");
    uint32_t serial;
    if (!a.u32(a.count() - 1, "serial", &serial))
        return false;
    *out = encodeUuid(prefix, serial);
    return true;
}

bool encodeKeyStudyCommand(const SendArgs &a, Bytes *out)
{
    Bytes pl;
    if (!a.payload(0, &pl))
        return false;
    if (pl.size() != 18)
        return a.fail("key-study takes exactly 18 bytes, not " + std::to_string(pl.size()));
    *out = encodeKeyStudy(pl);
    return true;
}

bool encodeForwardOrCan(const SendArgs &a, Bytes *out, bool can)
{
    uint32_t id;
    if (!a.u32(0, "id", &id))
        return false;
    if (!can && id != 57 && !(id >= 64 && id <= 76))
        return a.fail("forward takes the ids 57 and 64..76, not " + std::to_string(id) +
                      " (use 'long 2 ID ...' for any other)");
    Bytes pl;
    if (!a.payload(1, &pl))
        return false;
    *out = encodeLong(can ? mcu::kKindCan : mcu::kKindMcu, id, pl);
    return true;
}

bool encodeLongCommand(const SendArgs &a, Bytes *out)
{
    uint32_t kind, id;
    if (!a.u32(0, "kind", &kind) || !a.u32(1, "id", &id))
        return false;
    std::optional<uint32_t> len;
    size_t from = 2;
    if (a.count() > 2 && a.w[a.at + 3].is("len")) {
        uint32_t n;
        if (a.count() < 4)
            return a.fail(std::string("usage: ") + findSendCommand("long")->usage);
        if (!a.u32(3, "len", &n))
            return false;
        // Any word up to the padding limit, the launcher's corrupt ones (0..11,
        // above 2048) included; beyond it, hex writes whatever header is wanted.
        if (n > kPadLimit)
            return a.fail("len " + std::to_string(n) + " is above " + std::to_string(kPadLimit) +
                          ", the most a long record is padded to (write a larger length word with hex)");
        len = n;
        from = 4;
    }
    Bytes pl;
    if (!a.payload(from, &pl))
        return false;
    *out = encodeLong(kind, id, pl, len);
    return true;
}

bool encodeLongWithId(const SendArgs &a, Bytes *out, uint32_t id)
{
    Bytes pl;
    if (!a.payload(0, &pl))
        return false;
    *out = encodeLong(mcu::kKindMcu, id, pl);
    return true;
}

// Short records: each argument a named word of the record.
bool shortArgs(const SendArgs &a, std::initializer_list<std::pair<const char *, uint32_t *>> words)
{
    size_t i = 0;
    for (const auto &w : words)
        if (i < a.count() && !a.u32(i++, w.first, w.second))
            return false;
    return true;
}

const std::vector<SendCommand> kSendCommands = {
    {"time", "time YYYY-MM-DD [HH:MM[:SS]] | time SECONDS", 1, 2, encodeTimeCommand},
    {"rds-time", "rds-time H:M", 1, 1, encodeRdsTimeCommand},
    {"mcu-version", "mcu-version TEXT...", 0, kAnyArgs, encodeMcuVersionCommand},
    {"uuid", "uuid [PREFIX] SERIAL", 1, 2, encodeUuidCommand},
    {"mcu-type", "mcu-type N", 1, 1,
     [](const SendArgs &a, Bytes *out) {
         uint32_t type;
         return shortArgs(a, {{"type", &type}}) && (*out = encodeShort(MSG_M2A_MCU_TYPE, type, 0), true);
     }},
    {"version-query", "version-query", 0, 0,
     [](const SendArgs &, Bytes *out) { return *out = encodeShort(MSG_M2A_VERSION_QUERY, 0, 0), true; }},
    {"key", "key P1 P2", 2, 2,
     [](const SendArgs &a, Bytes *out) {
         uint32_t p1, p2;
         return shortArgs(a, {{"p1", &p1}, {"p2", &p2}}) &&
                (*out = encodeShort(MSG_M2A_KEY_PRESSED, p1, p2), true);
     }},
    {"eject", "eject", 0, 0,
     [](const SendArgs &, Bytes *out) { return *out = encodeShort(MSG_M2A_PARAM, 47, 0), true; }},
    {"param", "param P2", 1, 1,
     [](const SendArgs &a, Bytes *out) {
         uint32_t p2;
         return shortArgs(a, {{"p2", &p2}}) && (*out = encodeShort(MSG_M2A_PARAM, 13, p2), true);
     }},
    {"heartbeat-ack", "heartbeat-ack [P1 [P2]]", 0, 2,
     [](const SendArgs &a, Bytes *out) {
         uint32_t p1 = 0, p2 = 0;
         return shortArgs(a, {{"p1", &p1}, {"p2", &p2}}) &&
                (*out = encodeShort(MSG_M2A_HEARTBEAT_ACK, p1, p2), true);
     }},
    {"short", "short MSG P1 P2", 3, 3,
     [](const SendArgs &a, Bytes *out) {
         uint32_t msg, p1, p2;
         return shortArgs(a, {{"msg", &msg}, {"p1", &p1}, {"p2", &p2}}) &&
                (*out = encodeShort(msg, p1, p2), true);
     }},
    {"key-study", "key-study B0 ... B17", 0, kAnyArgs, encodeKeyStudyCommand},
    {"forward", "forward ID BYTES...", 1, kAnyArgs,
     [](const SendArgs &a, Bytes *out) { return encodeForwardOrCan(a, out, false); }},
    {"can", "can ID BYTES...", 1, kAnyArgs,
     [](const SendArgs &a, Bytes *out) { return encodeForwardOrCan(a, out, true); }},
    {"sim", "sim BYTES...", 0, kAnyArgs,
     [](const SendArgs &a, Bytes *out) { return encodeLongWithId(a, out, MSG_M2A_SIM); }},
    {"mcm", "mcm BYTES...", 0, kAnyArgs,
     [](const SendArgs &a, Bytes *out) { return encodeLongWithId(a, out, MSG_M2A_MCM); }},
    {"long", "long KIND ID [len N] BYTES...", 2, kAnyArgs, encodeLongCommand},
    {"hex", "hex BYTES...", 1, kAnyArgs,
     [](const SendArgs &a, Bytes *out) { return parseByteList(a.w, a.at + 1, out, a.error); }},
};

} // namespace

const std::vector<SendCommand> &sendCommands() { return kSendCommands; }

const SendCommand *findSendCommand(const std::string &name)
{
    for (const SendCommand &c : kSendCommands)
        if (name == c.name)
            return &c;
    return nullptr;
}

bool encodeSend(const Words &words, size_t at, Bytes *out, std::string *error)
{
    const SendCommand *c = findSendCommand(words[at].s);
    if (!c) {
        *error = "unknown command '" + words[at].s + "'";
        return false;
    }
    const size_t n = words.size() - at - 1;
    if (n < c->minArgs || n > c->maxArgs) {
        *error = std::string("usage: ") + c->usage;
        return false;
    }
    return c->encode(SendArgs{words, at, error}, out);
}

} // namespace mcusim

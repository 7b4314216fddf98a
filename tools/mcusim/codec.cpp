#include "codec.h"

#include "mcurecords.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace mcusim {

namespace {

std::string num(uint64_t v) { return std::to_string(v); }

Field f(const char *key, std::string value, bool stable = true)
{
    return Field{key, std::move(value), stable};
}

// Payload bytes without the zero tail that pass-through records carry.
std::string trimmedHex(const unsigned char *p, size_t n)
{
    while (n > 0 && p[n - 1] == 0)
        --n;
    return hexString(p, n);
}

bool needsQuotes(const std::string &v)
{
    if (v.empty())
        return true;
    for (char c : v)
        if (c == ' ' || c == '"' || c == '#' || c == '\t' || c == '\\')
            return true;
    return false;
}

} // namespace

std::string quoteValue(const std::string &v)
{
    if (!needsQuotes(v))
        return v;
    std::string out = "\"";
    for (char c : v) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

namespace {

// A text of the version report: printable bytes as they are, others as \xNN, so
// a line never carries control bytes to the terminal.
std::string printable(const unsigned char *p, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = p[i];
        if (c >= 0x20 && c != 0x7f) {
            out += char(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

// The version report: count, n, customer text, m, SDK text, 0x0D, 13 date bytes.
Decoded decodeVersionReport(const unsigned char *pl)
{
    Decoded d{"version-report", {}};
    const size_t count = pl[0];
    const size_t n = pl[1];
    size_t at = 2;
    std::string customer, sdk, date;
    bool ok = true;
    if (at + n + 1 > mcu::kPayloadSize) {
        ok = false;
    } else {
        customer = printable(pl + at, n);
        at += n;
        const size_t m = pl[at++];
        if (at + m + 1 + 13 > mcu::kPayloadSize) {
            ok = false;
        } else {
            sdk = printable(pl + at, m);
            at += m;
            if (pl[at] != 0x0D)
                ok = false;
            ++at;
            size_t dl = 0;
            while (dl < 13 && pl[at + dl] != 0)
                ++dl;
            date = printable(pl + at, dl);
            at += 13;
            if (count != ((n + m + 16) & 0xff))
                ok = false;
        }
    }
    d.fields.push_back(f("customer", customer));
    d.fields.push_back(f("sdk", sdk));
    d.fields.push_back(f("date", date));
    d.fields.push_back(f("count", num(count)));
    // Whatever stands after the report's last part must be zero.
    for (size_t i = ok ? at : mcu::kPayloadSize; i < mcu::kPayloadSize; ++i)
        if (pl[i] != 0)
            ok = false;
    d.fields.push_back(f("layout", ok ? "ok" : "bad"));
    return d;
}

Decoded unknownRecord(const unsigned char *rec, size_t len)
{
    Decoded d{"unknown", {}};
    std::string words;
    for (size_t i = 0; i + 4 <= len && i < 16; i += 4) {
        if (!words.empty())
            words += ' ';
        words += num(mcu::loadLe32(rec + i));
    }
    d.fields.push_back(f("words", words));
    d.fields.push_back(f("size", num(len)));
    d.fields.push_back(f("bytes", hexString(rec, len < 32 ? len : 32) + (len > 32 ? " ..." : "")));
    return d;
}

} // namespace

const Field *Decoded::field(const std::string &key) const
{
    for (const Field &fl : fields)
        if (fl.key == key)
            return &fl;
    return nullptr;
}

std::string Decoded::text() const
{
    std::string out = name;
    for (const Field &fl : fields)
        out += " " + fl.key + "=" + quoteValue(fl.value);
    return out;
}

std::string hexString(const unsigned char *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(n * 3);
    for (size_t i = 0; i < n; ++i) {
        if (i)
            s += ' ';
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string hexDump(const Bytes &b)
{
    size_t n = b.size();
    while (n > 0 && b[n - 1] == 0)
        --n;
    const size_t zeros = b.size() - n;
    if (zeros < 16)
        return hexString(b);
    return hexString(b.data(), n) + (n ? " " : "") + "+" + std::to_string(zeros) + " zero bytes";
}

std::string formatLocalTime(int64_t secs)
{
    time_t t = time_t(secs);
    struct tm tmv;
    if (!localtime_r(&t, &tmv))
        return num(uint64_t(secs));
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tmv);
    return buf;
}

bool parseLocalTime(const std::string &text, int64_t *secs)
{
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char tail = 0;
    int got = std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail);
    if (got != 3 && got != 5 && got != 6)
        return false;
    if (y < 1900 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60 || h < 0 ||
        mi < 0 || s < 0)
        return false;
    struct tm tmv {};
    tmv.tm_year = y - 1900;
    tmv.tm_mon = mo - 1;
    tmv.tm_mday = d;
    tmv.tm_hour = h;
    tmv.tm_min = mi;
    tmv.tm_sec = s;
    tmv.tm_isdst = -1;
    time_t t = mktime(&tmv);
    if (t == time_t(-1) || tmv.tm_mday != d) // 2021-02-30 rolls over: not a date
        return false;
    *secs = int64_t(t);
    return true;
}

namespace {

// Every record begins with little-endian header words; the rest starts zero.
Bytes withHeader(size_t size, std::initializer_list<uint32_t> words)
{
    Bytes out(size, 0);
    unsigned char *at = out.data();
    for (uint32_t w : words) {
        mcu::storeLe32(at, w);
        at += 4;
    }
    return out;
}

} // namespace

Bytes encodeShort(uint32_t msg, uint32_t p1, uint32_t p2)
{
    return withHeader(mcu::kShortRecordSize, {mcu::kKindShort, msg, p1, p2});
}

Bytes encodeLong(uint32_t kind, uint32_t id, const Bytes &payload, std::optional<uint32_t> lengthWord)
{
    const size_t trueSize = mcu::kHeaderSize + payload.size();
    const uint32_t said = lengthWord.value_or(uint32_t(trueSize));
    const size_t size = said > trueSize && said <= kPadLimit ? said : trueSize;
    Bytes out = withHeader(size, {kind, id, said});
    std::copy(payload.begin(), payload.end(), out.begin() + mcu::kHeaderSize);
    return out;
}

Bytes encodeTime(uint32_t v)
{
    Bytes pl(5, 0);
    pl[0] = 4;
    mcu::storeBe32(pl.data() + 1, v);
    return encodeLong(mcu::kKindMcu, MSG_M2A_TIME, pl);
}

Bytes encodeRdsTime(unsigned hour, unsigned minute)
{
    return encodeLong(mcu::kKindMcu, MSG_M2A_RDS_TIME,
                      Bytes{2, static_cast<unsigned char>(hour), static_cast<unsigned char>(minute)});
}

Bytes encodeMcuVersion(const std::string &text)
{
    const size_t n = text.size() < kMaxVersionText ? text.size() : kMaxVersionText;
    Bytes pl;
    pl.push_back(static_cast<unsigned char>(n + 1));
    pl.insert(pl.end(), text.begin(), text.begin() + long(n));
    pl.push_back(0);
    return encodeLong(mcu::kKindMcu, MSG_M2A_MCU_VERSION, pl);
}

Bytes encodeUuid(const std::string &prefix, uint32_t serial)
{
    Bytes pl(9, 0);
    pl[0] = 8;
    for (size_t i = 0; i < 2 && i < prefix.size(); ++i)
        pl[1 + i] = static_cast<unsigned char>(prefix[i]);
    mcu::storeBe32(pl.data() + 5, serial);
    return encodeLong(mcu::kKindMcu, MSG_M2A_UUID, pl);
}

Bytes encodeKeyStudy(const Bytes &eighteen)
{
    return encodeLong(mcu::kKindMcu, MSG_M2A_KEY_STUDY, eighteen);
}

const std::vector<RecordShape> &launcherRecordShapes()
{
    static const std::vector<RecordShape> shapes = {
        {"app-ready", {"p2"}},
        {"eject", {"p2"}},
        {"heartbeat", {"p2"}},
        {"param-ack", {"p2"}},
        {"source", {"id", "a"}},
        {"key-study-cmd", {"value", "form"}},
        {"short", {"msg", "p1", "p2"}},
        {"time-clock", {"date", "t", "count"}},
        {"key-color", {"a", "b", "c", "count", "sub"}},
        {"media-info", {"bytes"}},
        {"version-report", {"customer", "sdk", "date", "count", "layout"}},
        {"mcu-data", {"id", "bytes"}},
        {"can-data", {"id", "bytes"}},
        {"unknown", {"words", "size", "bytes"}},
    };
    return shapes;
}

const RecordShape *findLauncherShape(const std::string &name)
{
    for (const RecordShape &s : launcherRecordShapes())
        if (name == s.name)
            return &s;
    return nullptr;
}

Decoded decodeFromLauncher(const unsigned char *rec, size_t len)
{
    if (len < 4)
        return unknownRecord(rec, len);
    const uint32_t kind = mcu::loadLe32(rec);
    if (kind == mcu::kKindShort && len == size_t(mcu::kShortRecordSize)) {
        const uint32_t msg = mcu::loadLe32(rec + 4);
        const uint32_t p1 = mcu::loadLe32(rec + 8);
        const uint32_t p2 = mcu::loadLe32(rec + 12);
        if (msg == MSG_A2M_SHORT) {
            switch (p1) {
            case MSG_A2M_APP_READY:
                return {"app-ready", {f("p2", num(p2))}};
            case MSG_A2M_EJECT:
                return {"eject", {f("p2", num(p2))}};
            case MSG_A2M_HEARTBEAT:
                return {"heartbeat", {f("p2", num(p2))}};
            case MSG_A2M_PARAM_ACK:
                return {"param-ack", {f("p2", num(p2))}};
            case MSG_A2M_CUR_SRC:
                return {"source", {f("id", num(p2 & 0xffff)), f("a", num(p2 >> 16))}};
            case MSG_A2M_KEY_STUDY_SHORT:
                return {"key-study-cmd", {f("value", num(p2)), f("form", "short")}};
            default:
                break;
            }
        }
        return {"short", {f("msg", num(msg)), f("p1", num(p1)), f("p2", num(p2))}};
    }
    if ((kind == mcu::kKindMcu || kind == mcu::kKindCan) && len == size_t(mcu::kLongRecordSize)) {
        const uint32_t id = mcu::loadLe32(rec + 4);
        const unsigned char *pl = rec + 8;
        if (kind == mcu::kKindCan)
            return {"can-data", {f("id", num(id)), f("bytes", trimmedHex(pl, mcu::kPayloadSize))}};
        switch (id) {
        case MSG_A2M_TIME_CLOCK: {
            const uint32_t t = mcu::loadBe32(pl + 1);
            return {"time-clock",
                    {f("date", formatLocalTime(int64_t(t)), false), f("t", num(t), false),
                     f("count", num(pl[0]))}};
        }
        case MSG_A2M_KEY_COLOR:
            return {"key-color",
                    {f("a", num(pl[2])), f("b", num(pl[3])), f("c", num(pl[4])),
                     f("count", num(pl[0])), f("sub", num(pl[1]))}};
        case MSG_A2M_MEDIA_PLAY_INFO:
            return {"media-info", {f("bytes", trimmedHex(pl, mcu::kPayloadSize))}};
        case MSG_A2M_KEY_STUDY_LONG:
            return {"key-study-cmd", {f("value", num(pl[1])), f("form", "long")}};
        case MSG_A2M_VERSION_INFO:
            return decodeVersionReport(pl);
        default:
            return {"mcu-data", {f("id", num(id)), f("bytes", trimmedHex(pl, mcu::kPayloadSize))}};
        }
    }
    return unknownRecord(rec, len);
}

namespace {

Decoded shortToLauncher(uint32_t msg, uint32_t p1, uint32_t p2)
{
    switch (msg) {
    case MSG_M2A_KEY_PRESSED:
        return {"MSG_M2A_KEY_PRESSED", {f("p1", num(p1)), f("p2", num(p2))}};
    case MSG_M2A_VERSION_QUERY:
        return {"MSG_M2A_VERSION_QUERY", {}};
    case MSG_M2A_MCU_TYPE:
        return {"MSG_M2A_MCU_TYPE", {f("type", num(p1))}};
    case MSG_M2A_PARAM:
        if (p1 == 13)
            return {"MSG_M2A_PARAM", {f("p1", "13"), f("param", num(p2))}};
        if (p1 == 47)
            return {"MSG_M2A_PARAM", {f("p1", "47"), f("action", "eject")}};
        return {"MSG_M2A_PARAM", {f("p1", num(p1)), f("p2", num(p2))}};
    case MSG_M2A_HEARTBEAT_ACK:
        return {"MSG_M2A_HEARTBEAT_ACK", {f("p1", num(p1)), f("p2", num(p2))}};
    default:
        return {"short", {f("msg", num(msg)), f("p1", num(p1)), f("p2", num(p2))}};
    }
}

// A long record of kind 2 to the launcher; `pl` is its payload as far as it
// was sent, padded with zeros to a whole payload, `sent` how much was sent.
Decoded mcuRecordToLauncher(uint32_t id, const Field &len, const unsigned char *pl, size_t sent)
{
    switch (id) {
    case MSG_M2A_TIME: {
        const uint32_t v = mcu::loadBe32(pl + 1);
        return {"MSG_M2A_TIME", {f("date", formatLocalTime(int64_t(int32_t(v)))), f("v", num(v)), len}};
    }
    case MSG_M2A_RDS_TIME:
        return {"MSG_M2A_RDS_TIME", {f("hour", num(pl[1])), f("minute", num(pl[2])), len}};
    case MSG_M2A_MCU_VERSION:
        return {"MSG_M2A_MCU_VERSION",
                {f("text", printable(pl + 1, ::strnlen(reinterpret_cast<const char *>(pl + 1), 255))), len}};
    case MSG_M2A_UUID: {
        const size_t prefix = pl[1] ? (pl[2] ? 2 : 1) : 0;
        char digits[16];
        std::snprintf(digits, sizeof digits, "%014u", mcu::loadBe32(pl + 5));
        return {"MSG_M2A_UUID", {f("uuid", printable(pl + 1, prefix) + digits), len}};
    }
    case MSG_M2A_KEY_STUDY:
        return {"MSG_M2A_KEY_STUDY", {f("bytes", hexString(pl, sent < 18 ? sent : 18)), len}};
    case MSG_M2A_SIM:
        return {"MSG_M2A_SIM", {f("bytes", trimmedHex(pl, sent)), len}};
    case MSG_M2A_MCM:
        return {"MSG_M2A_MCM", {f("bytes", trimmedHex(pl, sent)), len}};
    default:
        if (id == 57 || (id >= 64 && id <= 76))
            return {"forward", {f("id", num(id)), f("bytes", trimmedHex(pl, sent)), len}};
        return {"long", {f("kind", "2"), f("id", num(id)), len, f("bytes", trimmedHex(pl, sent < 32 ? sent : 32))}};
    }
}

} // namespace

Decoded decodeToLauncher(const unsigned char *rec, size_t len)
{
    if (len < size_t(mcu::kHeaderSize))
        return unknownRecord(rec, len);
    const uint32_t kind = mcu::loadLe32(rec);
    const uint32_t w1 = mcu::loadLe32(rec + 4);
    const uint32_t w2 = mcu::loadLe32(rec + 8);
    if (kind == mcu::kKindShort)
        return len == size_t(mcu::kShortRecordSize) ? shortToLauncher(w1, w2, mcu::loadLe32(rec + 12))
                                                    : unknownRecord(rec, len);
    const size_t sent = std::min(len - mcu::kHeaderSize, size_t(mcu::kPayloadSize));
    unsigned char pl[mcu::kPayloadSize + 1] = {}; // +1: a version text always ends
    std::copy(rec + mcu::kHeaderSize, rec + mcu::kHeaderSize + sent, pl);
    const Field lenField = f("len", num(w2));
    if (kind == mcu::kKindMcu)
        return mcuRecordToLauncher(w1, lenField, pl, sent);
    if (kind == mcu::kKindCan)
        return {"can", {f("id", num(w1)), f("bytes", trimmedHex(pl, sent)), lenField}};
    return {"long", {f("kind", num(kind)), f("id", num(w1)), lenField,
                     f("bytes", trimmedHex(pl, sent < 32 ? sent : 32))}};
}

} // namespace mcusim

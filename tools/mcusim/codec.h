#ifndef MCUSIM_CODEC_H
#define MCUSIM_CODEC_H

// Record codec of the MCU simulator: builds the records the MCU service sends to
// the launcher, and turns the records of either direction into a name with fields.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mcusim {

using Bytes = std::vector<unsigned char>;

struct Field {
    std::string key;
    std::string value;
    // False for values that change from run to run (a clock echo's date); a
    // capture leaves them out of the expect lines it writes.
    bool stable = true;
};

// One record as a name and its fields, in display order. Positional values of an
// expect line are matched against the fields in this order.
struct Decoded {
    std::string name;
    std::vector<Field> fields;

    const Field *field(const std::string &key) const;
    // "name key=value key=\"two words\"".
    std::string text() const;
};

// --- Records to the launcher. Long records are as long as their length word says:
// the 12-byte header and the payload bytes that carry something.

Bytes encodeShort(uint32_t msg, uint32_t p1, uint32_t p2);
// A long record of any kind: header, then payload. Without a lengthWord the
// length word is the true size (12 + payload). A lengthWord above the true size
// pads with zero bytes up to it (at most kPadLimit); below, the header simply
// says less than is sent.
constexpr size_t kPadLimit = 65536;
Bytes encodeLong(uint32_t kind, uint32_t id, const Bytes &payload,
                 std::optional<uint32_t> lengthWord = std::nullopt);

// MSG_M2A_TIME: payload 04, then v most significant byte first.
Bytes encodeTime(uint32_t v);
// MSG_M2A_RDS_TIME: payload 02, hour, minute.
Bytes encodeRdsTime(unsigned hour, unsigned minute);
// MSG_M2A_MCU_VERSION: payload count, the text, a zero byte. At most kMaxVersionText bytes.
constexpr size_t kMaxVersionText = 254;
Bytes encodeMcuVersion(const std::string &text);
// MSG_M2A_UUID: payload 08, prefix bytes 1 and 2 (zero where shorter), 0, 0,
// serial most significant byte first in bytes 5 to 8.
Bytes encodeUuid(const std::string &prefix, uint32_t serial);
// MSG_M2A_KEY_STUDY: the 18 bytes as payload bytes 0 to 17.
Bytes encodeKeyStudy(const Bytes &eighteen);

// --- Decoding.

// A record as the launcher sends it: 16 bytes of kind 1, or 264 bytes of kind 2
// or 3; anything else decodes as "unknown" with its words and bytes.
Decoded decodeFromLauncher(const unsigned char *rec, size_t len);
inline Decoded decodeFromLauncher(const Bytes &b) { return decodeFromLauncher(b.data(), b.size()); }

// A record as the MCU service sends it (for the lines that show what was sent).
Decoded decodeToLauncher(const unsigned char *rec, size_t len);
inline Decoded decodeToLauncher(const Bytes &b) { return decodeToLauncher(b.data(), b.size()); }

// The names decodeFromLauncher gives, each with the keys of its fields in order.
struct RecordShape {
    const char *name;
    std::vector<std::string> keys;
};
const std::vector<RecordShape> &launcherRecordShapes();
const RecordShape *findLauncherShape(const std::string &name);

// --- Helpers shared with the scenario language.

// A field value as the scenario language reads it back: quoted when it holds
// blanks, quotes, '#' or backslashes, or is empty.
std::string quoteValue(const std::string &v);

// "01 02 ff", lower case, single spaces.
std::string hexString(const unsigned char *p, size_t n);
inline std::string hexString(const Bytes &b) { return hexString(b.data(), b.size()); }
// A record's bytes for a traffic line: a zero tail of 16 bytes or more is
// left out and counted ("02 00 ... 04 +251 zero bytes").
std::string hexDump(const Bytes &b);
// Seconds since the epoch as a local "YYYY-MM-DD HH:MM:SS".
std::string formatLocalTime(int64_t secs);
// "YYYY-MM-DD[ HH:MM[:SS]]" read as local time; false on a malformed or impossible date.
bool parseLocalTime(const std::string &text, int64_t *secs);

} // namespace mcusim

#endif // MCUSIM_CODEC_H

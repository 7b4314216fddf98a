#ifndef MCURECORDS_H
#define MCURECORDS_H

// The fixed-layout records that cross the MCU socket, written back to back with no
// delimiter. Header words are 32-bit little-endian on the wire; numbers inside a
// payload are big-endian. Both hold whatever the host's own byte order is: header
// words are stored as LeU32, whose bytes are always the wire bytes.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// A 32-bit unsigned word kept in little-endian byte order, whatever the host is.
// Alignment 1, so a record is exactly its wire bytes.
struct LeU32 {
    unsigned char b[4];

    LeU32() = default; // trivial: records are cleared with memset or {} like plain structs
    constexpr LeU32(uint32_t v)  // NOLINT: implicit on purpose, records read like plain words
        : b{static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)} {}
    constexpr operator uint32_t() const  // NOLINT
    {
        return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    }
    LeU32 &operator=(uint32_t v) { return *this = LeU32(v); }
};
static_assert(sizeof(LeU32) == 4 && alignof(LeU32) == 1, "LeU32 must be its four wire bytes");
static_assert(std::is_trivial<LeU32>::value, "LeU32 must be trivial");

namespace mcu {

constexpr int kShortRecordSize = 16;     // McuShortMsg
constexpr int kLongRecordSize = 264;     // McuLongMsg, outgoing
constexpr int kIncomingRecordSize = 268; // tag_MCUSRV_TO_MAIN_APP_T, incoming; one read
constexpr int kHeaderSize = 12;          // kind, id, length
constexpr int kPayloadSize = 256;
constexpr int kRecvBufferSize = 2048;    // reassembly buffer

// Record kinds (first word of every record).
constexpr uint32_t kKindShort = 1;
constexpr uint32_t kKindMcu = 2;
constexpr uint32_t kKindCan = 3;

// Little-endian word at p (header words).
inline uint32_t loadLe32(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void storeLe32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}
// Big-endian numbers inside payloads.
inline uint32_t loadBe32(const unsigned char *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline uint32_t loadBe16(const unsigned char *p) { return uint32_t(p[0]) << 8 | uint32_t(p[1]); }
inline void storeBe32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

} // namespace mcu

// Short record, 16 bytes, both directions.
struct McuShortMsg {
    LeU32 kind; // 1
    LeU32 msg;  // message number; 12 on every fixed-content record the launcher builds
    LeU32 p1;   // first parameter; the command code on outgoing records
    LeU32 p2;   // second parameter
};

// Outgoing long record, 264 bytes; no length word, always written whole.
struct McuLongMsg {
    LeU32 kind; // 2 = to the MCU, 3 = to the CAN channel
    LeU32 id;   // command id
    unsigned char payload[256];
};

// Incoming long record, 268 bytes; also the shape of the receive scratch area.
typedef struct tag_MCUSRV_TO_MAIN_APP_T {
    LeU32 kind;   // 2 or 3 (1 marks a short record)
    LeU32 id;     // message id
    LeU32 length; // size of the whole record on the stream, header included
    unsigned char payload[256];
} MCUSRV_TO_MAIN_APP_T;

// Steering-key learning record built from incoming long message 47.
typedef struct tag_MCU_STEER_KEY_STUDY_DATA {
    unsigned char keyStatus;  // payload byte 0
    unsigned char keyIndex;   // payload byte 1
    unsigned char keyCount;   // payload byte 2
    unsigned char studyState; // payload byte 3
    unsigned char adcChannel; // payload byte 4
    unsigned char reserved;   // payload byte 5
    unsigned int adcValue;    // payload bytes 6, 7 (big-endian 16 bits)
    unsigned int adcMin;      // payload bytes 8, 9
    unsigned int adcMax;      // payload bytes 10, 11
    unsigned int adcValue2;   // payload bytes 12, 13
    unsigned int adcMin2;     // payload bytes 14, 15
    unsigned int adcMax2;     // payload bytes 16, 17
} MCU_STEER_KEY_STUDY_DATA;

// The two forms of the steering-key learning command.
enum STEER_KEY_STUDY_CMD_TYPE : int {
    STEER_KEY_STUDY_CMD_SHORT = 0, // short record, p1 189
    STEER_KEY_STUDY_CMD_LONG = 1,  // long record, id 201
};

static_assert(sizeof(McuShortMsg) == 16, "McuShortMsg is 16 bytes");
static_assert(offsetof(McuShortMsg, kind) == 0 && offsetof(McuShortMsg, msg) == 4 &&
                  offsetof(McuShortMsg, p1) == 8 && offsetof(McuShortMsg, p2) == 12,
              "McuShortMsg layout");
static_assert(sizeof(McuLongMsg) == 264, "McuLongMsg is 264 bytes");
static_assert(offsetof(McuLongMsg, kind) == 0 && offsetof(McuLongMsg, id) == 4 &&
                  offsetof(McuLongMsg, payload) == 8,
              "McuLongMsg layout");
static_assert(sizeof(tag_MCUSRV_TO_MAIN_APP_T) == 268, "tag_MCUSRV_TO_MAIN_APP_T is 268 bytes");
static_assert(offsetof(tag_MCUSRV_TO_MAIN_APP_T, kind) == 0 &&
                  offsetof(tag_MCUSRV_TO_MAIN_APP_T, id) == 4 &&
                  offsetof(tag_MCUSRV_TO_MAIN_APP_T, length) == 8 &&
                  offsetof(tag_MCUSRV_TO_MAIN_APP_T, payload) == 12,
              "tag_MCUSRV_TO_MAIN_APP_T layout");
static_assert(offsetof(MCU_STEER_KEY_STUDY_DATA, adcValue) == 8 &&
                  sizeof(MCU_STEER_KEY_STUDY_DATA) == 32,
              "MCU_STEER_KEY_STUDY_DATA layout");

// Message numbers, MCU to application.
enum {
    MSG_M2A_PARAM = 529,            // short; p1 13: parameter, p1 47: eject
    MSG_M2A_KEY_PRESSED = 13078,    // short
    MSG_M2A_VERSION_QUERY = 13080,  // short
    MSG_M2A_MCU_TYPE = 13144,       // short
    MSG_M2A_HEARTBEAT_ACK = 28929,  // short; logged only
    MSG_M2A_TIME = 12,              // long
    MSG_M2A_MCU_VERSION = 25,       // long
    MSG_M2A_KEY_STUDY = 47,         // long
    MSG_M2A_RDS_TIME = 82,          // long
    MSG_M2A_SIM = 83,               // long
    MSG_M2A_MCM = 84,               // long
    MSG_M2A_UUID = 212,             // long
};

// Command codes and ids, application to MCU.
enum {
    MSG_A2M_SHORT = 12,             // msg word of every fixed short record
    MSG_A2M_CUR_SRC = 5,            // p1
    MSG_A2M_APP_READY = 17,         // p1
    MSG_A2M_EJECT = 140,            // p1
    MSG_A2M_PARAM_ACK = 186,        // p1, answer to 529/13
    MSG_A2M_KEY_STUDY_SHORT = 189,  // p1
    MSG_A2M_HEARTBEAT = 190,        // p1
    MSG_A2M_KEY_COLOR = 19,         // long id
    MSG_A2M_TIME_CLOCK = 195,       // long id
    MSG_A2M_MEDIA_PLAY_INFO = 196,  // long id
    MSG_A2M_KEY_STUDY_LONG = 201,   // long id
    MSG_A2M_VERSION_INFO = 205,     // long id
};

#endif // MCURECORDS_H

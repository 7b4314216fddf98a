#ifndef MCUMESSAGES_H
#define MCUMESSAGES_H

// The name of every record the link knows, in each direction: the one table
// that the simulator's decoder and the Wireshark dissector
// (tools/mcusim/wireshark/mcu.lua, whose table `mcusim --dissector-table`
// writes) both name records by. The first row that matches a record names it.

#include "mcurecords.h"

#include <cstddef>
#include <cstdint>

namespace mcu {

enum class Way : int {
    ToApp = 0, // MCU service to launcher: MSG_M2A_*
    ToMcu = 1, // launcher to MCU service: MSG_A2M_*
};

struct MessageName {
    Way way;
    uint32_t kind;   // 1, 2, 3; 0: any other kind
    int64_t first;   // msg of a short record, id of a long one; -1: any
    int64_t last;    // the range's end (inclusive)
    int64_t p1;      // a short record's p1; -1: any
    const char *name;    // as the dissector shows it and filters on it
    const char *simName; // what mcusim's lines call it
};

constexpr int64_t kAny = -1;

inline constexpr MessageName kMessageNames[] = {
    {Way::ToApp, kKindShort, MSG_M2A_KEY_PRESSED, MSG_M2A_KEY_PRESSED, kAny, "MSG_M2A_KEY_PRESSED", "MSG_M2A_KEY_PRESSED"},
    {Way::ToApp, kKindShort, MSG_M2A_VERSION_QUERY, MSG_M2A_VERSION_QUERY, kAny, "MSG_M2A_VERSION_QUERY", "MSG_M2A_VERSION_QUERY"},
    {Way::ToApp, kKindShort, MSG_M2A_MCU_TYPE, MSG_M2A_MCU_TYPE, kAny, "MSG_M2A_MCU_TYPE", "MSG_M2A_MCU_TYPE"},
    {Way::ToApp, kKindShort, MSG_M2A_PARAM, MSG_M2A_PARAM, kAny, "MSG_M2A_PARAM", "MSG_M2A_PARAM"},
    {Way::ToApp, kKindShort, MSG_M2A_HEARTBEAT_ACK, MSG_M2A_HEARTBEAT_ACK, kAny, "MSG_M2A_HEARTBEAT_ACK", "MSG_M2A_HEARTBEAT_ACK"},
    {Way::ToApp, kKindShort, kAny, kAny, kAny, "MSG_M2A_SHORT", "short"},
    {Way::ToApp, kKindMcu, MSG_M2A_TIME, MSG_M2A_TIME, kAny, "MSG_M2A_TIME", "MSG_M2A_TIME"},
    {Way::ToApp, kKindMcu, MSG_M2A_MCU_VERSION, MSG_M2A_MCU_VERSION, kAny, "MSG_M2A_MCU_VERSION", "MSG_M2A_MCU_VERSION"},
    {Way::ToApp, kKindMcu, MSG_M2A_KEY_STUDY, MSG_M2A_KEY_STUDY, kAny, "MSG_M2A_KEY_STUDY", "MSG_M2A_KEY_STUDY"},
    {Way::ToApp, kKindMcu, MSG_M2A_RDS_TIME, MSG_M2A_RDS_TIME, kAny, "MSG_M2A_RDS_TIME", "MSG_M2A_RDS_TIME"},
    {Way::ToApp, kKindMcu, MSG_M2A_SIM, MSG_M2A_SIM, kAny, "MSG_M2A_SIM", "MSG_M2A_SIM"},
    {Way::ToApp, kKindMcu, MSG_M2A_MCM, MSG_M2A_MCM, kAny, "MSG_M2A_MCM", "MSG_M2A_MCM"},
    {Way::ToApp, kKindMcu, MSG_M2A_UUID, MSG_M2A_UUID, kAny, "MSG_M2A_UUID", "MSG_M2A_UUID"},
    {Way::ToApp, kKindMcu, 57, 57, kAny, "MSG_M2A_FORWARD", "forward"},
    {Way::ToApp, kKindMcu, 64, 76, kAny, "MSG_M2A_FORWARD", "forward"},
    {Way::ToApp, kKindMcu, kAny, kAny, kAny, "MSG_M2A_LONG", "long"},
    {Way::ToApp, kKindCan, kAny, kAny, kAny, "MSG_M2A_CAN", "can"},
    {Way::ToApp, 0, kAny, kAny, kAny, "MSG_M2A_UNKNOWN_KIND", "long"},
    {Way::ToMcu, kKindShort, MSG_A2M_SHORT, MSG_A2M_SHORT, MSG_A2M_APP_READY, "MSG_A2M_APP_READY", "app-ready"},
    {Way::ToMcu, kKindShort, MSG_A2M_SHORT, MSG_A2M_SHORT, MSG_A2M_EJECT, "MSG_A2M_EJECT", "eject"},
    {Way::ToMcu, kKindShort, MSG_A2M_SHORT, MSG_A2M_SHORT, MSG_A2M_HEARTBEAT, "MSG_A2M_HEARTBEAT", "heartbeat"},
    {Way::ToMcu, kKindShort, MSG_A2M_SHORT, MSG_A2M_SHORT, MSG_A2M_PARAM_ACK, "MSG_A2M_PARAM_ACK", "param-ack"},
    {Way::ToMcu, kKindShort, MSG_A2M_SHORT, MSG_A2M_SHORT, MSG_A2M_CUR_SRC, "MSG_A2M_CUR_SRC", "source"},
    {Way::ToMcu, kKindShort, MSG_A2M_SHORT, MSG_A2M_SHORT, MSG_A2M_KEY_STUDY_SHORT, "MSG_A2M_KEY_STUDY_SHORT", "key-study-cmd"},
    {Way::ToMcu, kKindShort, kAny, kAny, kAny, "MSG_A2M_SHORT", "short"},
    {Way::ToMcu, kKindMcu, MSG_A2M_KEY_COLOR, MSG_A2M_KEY_COLOR, kAny, "MSG_A2M_KEY_COLOR", "key-color"},
    {Way::ToMcu, kKindMcu, MSG_A2M_TIME_CLOCK, MSG_A2M_TIME_CLOCK, kAny, "MSG_A2M_TIME_CLOCK", "time-clock"},
    {Way::ToMcu, kKindMcu, MSG_A2M_MEDIA_PLAY_INFO, MSG_A2M_MEDIA_PLAY_INFO, kAny, "MSG_A2M_MEDIA_PLAY_INFO", "media-info"},
    {Way::ToMcu, kKindMcu, MSG_A2M_KEY_STUDY_LONG, MSG_A2M_KEY_STUDY_LONG, kAny, "MSG_A2M_KEY_STUDY_LONG", "key-study-cmd"},
    {Way::ToMcu, kKindMcu, MSG_A2M_VERSION_INFO, MSG_A2M_VERSION_INFO, kAny, "MSG_A2M_VERSION_INFO", "version-report"},
    {Way::ToMcu, kKindMcu, kAny, kAny, kAny, "MSG_A2M_LONG", "mcu-data"},
    {Way::ToMcu, kKindCan, kAny, kAny, kAny, "MSG_A2M_CAN", "can-data"},
    {Way::ToMcu, 0, kAny, kAny, kAny, "MSG_A2M_UNKNOWN_KIND", "unknown"},
};

// The row that names a record of at least 12 bytes (16 for a short one);
// null for fewer.
inline const MessageName *messageName(Way way, const unsigned char *rec, size_t len)
{
    if (len < size_t(kHeaderSize))
        return nullptr;
    const uint32_t kind = loadLe32(rec);
    if (kind == kKindShort && len < size_t(kShortRecordSize))
        return nullptr;
    const int64_t number = loadLe32(rec + 4);
    const int64_t p1 = loadLe32(rec + 8);
    const bool known = kind == kKindShort || kind == kKindMcu || kind == kKindCan;
    for (const MessageName &m : kMessageNames) {
        if (m.way != way || (m.kind ? m.kind != kind : known))
            continue;
        if (m.first != kAny && (number < m.first || number > m.last))
            continue;
        if (m.p1 != kAny && p1 != m.p1)
            continue;
        return &m;
    }
    return nullptr;
}

} // namespace mcu

#endif // MCUMESSAGES_H

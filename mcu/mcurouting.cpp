#include "mcurouting.h"

#include "mcurecords.h"

namespace tamoappframework {

namespace {

// Short message 529 carries a parameter (p1 13) or an eject request (p1 47).
constexpr uint32_t kParamValue = 13;
constexpr uint32_t kParamEject = 47;

// Long messages 64 to 76 go to BaseControl like 57.
constexpr uint32_t kMsgToBaseControl = 57;
constexpr uint32_t kMsgToBaseControlFirst = 64;
constexpr uint32_t kMsgToBaseControlLast = 76;

McuRoute routeShort(uint32_t msg, uint32_t p1)
{
    switch (msg) {
    case MSG_M2A_PARAM:
        return p1 == kParamValue ? McuRoute::ParamValue : p1 == kParamEject ? McuRoute::ParamEject : McuRoute::Ignore;
    case MSG_M2A_KEY_PRESSED:
        return McuRoute::KeyPressed;
    case MSG_M2A_VERSION_QUERY:
        return McuRoute::VersionQuery;
    case MSG_M2A_MCU_TYPE:
        return McuRoute::McuType;
    case MSG_M2A_HEARTBEAT_ACK:
        return McuRoute::Ignore;
    default:
        return McuRoute::ShortToActivity;
    }
}

McuRoute routeLong(uint32_t id)
{
    if (id == kMsgToBaseControl || (id >= kMsgToBaseControlFirst && id <= kMsgToBaseControlLast))
        return McuRoute::LongToBaseControl;
    switch (id) {
    case MSG_M2A_TIME:
        return McuRoute::McuTime;
    case MSG_M2A_MCU_VERSION:
        return McuRoute::McuVersion;
    case MSG_M2A_KEY_STUDY:
        return McuRoute::KeyStudy;
    case MSG_M2A_RDS_TIME:
        return McuRoute::RdsTime;
    case MSG_M2A_SIM:
        return McuRoute::Sim;
    case MSG_M2A_MCM:
        return McuRoute::Mcm;
    case MSG_M2A_UUID:
        return McuRoute::Uuid;
    default:
        return McuRoute::Ignore;
    }
}

} // namespace

McuRoute routeOf(const unsigned char *record)
{
    switch (mcu::loadLe32(record)) {
    case mcu::kKindShort:
        return routeShort(mcu::loadLe32(record + 4), mcu::loadLe32(record + 8));
    case mcu::kKindMcu:
        return routeLong(mcu::loadLe32(record + 4));
    case mcu::kKindCan:
        return McuRoute::CanToActivity;
    default:
        return McuRoute::Ignore;
    }
}

} // namespace tamoappframework

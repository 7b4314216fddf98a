#ifndef MCUROUTING_H
#define MCUROUTING_H

// Where each incoming MCU record goes: the routing table alone, with no
// component behind it, so that it can be read and checked as the table it is.

#include <cstdint>

namespace tamoappframework {

enum class McuRoute {
    Ignore,              // known and dropped, or of a kind nobody takes
    ShortToActivity,     // short messages nobody else takes: ActivityManager
    ParamValue,          // 529, p1 13: acknowledged, then ActivityManager
    ParamEject,          // 529, p1 47: BaseControl's eject slot
    KeyPressed,          // 13078: BaseControl's key-press signal
    VersionQuery,        // 13080: the launcher answers with its version report
    McuType,             // 13144: AppData
    LongToBaseControl,   // long 57 and 64 to 76: BaseControl
    McuTime,             // long 12: the system clock
    McuVersion,          // long 25: PlatformControl
    KeyStudy,            // long 47: BaseControl, as steering-key learning data
    RdsTime,             // long 82: the system clock, when the setting allows
    Sim,                 // long 83: BaseControl
    Mcm,                 // long 84: BaseControl
    Uuid,                // long 212: AppData
    CanToActivity,       // every record of kind 3: ActivityManager
};

// The route of one whole framed record (16 bytes of kind 1, 268 otherwise).
McuRoute routeOf(const unsigned char *record);

} // namespace tamoappframework

#endif // MCUROUTING_H

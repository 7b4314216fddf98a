#ifndef MCUHANDLERS_H
#define MCUHANDLERS_H

#include "mainappprotocolcomm.h"
#include "mcurouting.h"

namespace tamoappframework {

// What an incoming record does: handed to the component its route names, or
// handled by the launcher itself (the clock, the version report, the RDS time
// setting, the unit identity and MCU type). Runs on the link's thread, one
// record at a time, in stream order. Routing allocates nothing; only the
// handlers that must build a text (MCU version, identity, version report) do.
// A part of the link's class, so that their log records name it.
class MainAppProtocolComm::Handlers
{
public:
    // Answers go out through the link's senders.
    explicit Handlers(MainAppProtocolComm &link) : m_link(link) {}

    // One whole framed record (16 bytes of kind 1, 268 otherwise).
    void handle(const unsigned char *record);

    // The source bookkeeping of a source change, on the sender's thread.
    static void noteCurrentSource(int id);

private:
    void handleShort(McuRoute route, const McuShortMsg &msg);
    void handleLong(McuRoute route, const tag_MCUSRV_TO_MAIN_APP_T &rec);
    void onMcuTime(const tag_MCUSRV_TO_MAIN_APP_T &rec);
    void onRdsTime(const tag_MCUSRV_TO_MAIN_APP_T &rec);
    void onMcuVersion(const tag_MCUSRV_TO_MAIN_APP_T &rec);
    void onUuid(const tag_MCUSRV_TO_MAIN_APP_T &rec);
    void onMcuType(const McuShortMsg &msg);
    void onVersionQuery();

    MainAppProtocolComm &m_link;
};

} // namespace tamoappframework

#endif // MCUHANDLERS_H

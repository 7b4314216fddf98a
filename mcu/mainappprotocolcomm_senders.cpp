// Outgoing commands of the MCU link. Every record is built in the calling
// function's own storage, cleared first, and written whole with SendData, so
// senders on different threads never share a record under construction.

#include "mainappprotocolcomm.h"

#include "mcuhandlers.h"

#include <cstdio>
#include <cstring>

namespace tamoappframework {

namespace {

// Pass-through records carry 1 to 255 caller bytes, so the last payload byte is always zero.
constexpr int kMaxPassThroughLength = mcu::kPayloadSize - 1;
constexpr int kHighestSourceId = 65534;

void sendShort(MainAppProtocolComm *link, uint32_t msg, uint32_t p1, uint32_t p2)
{
    McuShortMsg rec;
    std::memset(&rec, 0, sizeof rec);
    rec.kind = mcu::kKindShort;
    rec.msg = msg;
    rec.p1 = p1;
    rec.p2 = p2;
    link->SendData(&rec, int(sizeof rec));
}

void clearLong(McuLongMsg &rec, uint32_t kind, uint32_t id)
{
    std::memset(&rec, 0, sizeof rec);
    rec.kind = kind;
    rec.id = id;
}

void sendPassThrough(MainAppProtocolComm *link, uint32_t kind, uint32_t id,
                     const unsigned char *src, int len)
{
    if (!src || len < 1 || len > kMaxPassThroughLength)
        return;
    McuLongMsg rec;
    clearLong(rec, kind, id);
    std::memcpy(rec.payload, src, size_t(len));
    link->SendData(&rec, int(sizeof rec));
}

} // namespace

void MainAppProtocolComm::EjectDisc()
{
    sendShort(this, MSG_A2M_SHORT, MSG_A2M_EJECT, 0);
}

void MainAppProtocolComm::SendHeartbeattoMCU()
{
    sendShort(this, MSG_A2M_SHORT, MSG_A2M_HEARTBEAT, 0);
}

void MainAppProtocolComm::SendCurSrcToMcu(int id, int a)
{
    if (id > kHighestSourceId)
        return;

    Handlers::noteCurrentSource(id);

    // Unsigned arithmetic: a negative or large `a` must not make the shift undefined.
    const uint32_t p2 = (static_cast<uint32_t>(a) << 16) | (static_cast<uint32_t>(id) & 0xFFFFu);
    sendShort(this, MSG_A2M_SHORT, MSG_A2M_CUR_SRC, p2);
}

void MainAppProtocolComm::SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_TYPE cmd, unsigned char v)
{
    switch (cmd) {
    case STEER_KEY_STUDY_CMD_SHORT:
        sendShort(this, MSG_A2M_SHORT, MSG_A2M_KEY_STUDY_SHORT, v);
        break;
    case STEER_KEY_STUDY_CMD_LONG: {
        McuLongMsg rec;
        clearLong(rec, mcu::kKindMcu, MSG_A2M_KEY_STUDY_LONG);
        rec.payload[0] = 1;
        rec.payload[1] = v;
        SendData(&rec, int(sizeof rec));
        break;
    }
    default:
        break;
    }
}

void MainAppProtocolComm::SendDataToMcu(unsigned int msg, unsigned int p1, unsigned int p2)
{
    sendShort(this, msg, p1, p2);
}

void MainAppProtocolComm::SendKeyColorToMcu(unsigned int a, unsigned int b, unsigned int c)
{
    McuLongMsg rec;
    clearLong(rec, mcu::kKindMcu, MSG_A2M_KEY_COLOR);
    rec.payload[0] = 4;
    rec.payload[1] = 1;
    rec.payload[2] = static_cast<unsigned char>(a & 0xFFu);
    rec.payload[3] = static_cast<unsigned char>(b & 0xFFu);
    rec.payload[4] = static_cast<unsigned char>(c & 0xFFu);
    SendData(&rec, int(sizeof rec));
}

void MainAppProtocolComm::SendTimeClockToMcu(unsigned char /*cmd*/, unsigned int t)
{
    // The record always carries id 195, whatever command the caller names.
    McuLongMsg rec;
    clearLong(rec, mcu::kKindMcu, MSG_A2M_TIME_CLOCK);
    rec.payload[0] = 4;
    mcu::storeBe32(rec.payload + 1, t);
    SendData(&rec, int(sizeof rec));
}

void MainAppProtocolComm::SendMediaPlayInfoToMcu(unsigned char *src, int len)
{
    sendPassThrough(this, mcu::kKindMcu, MSG_A2M_MEDIA_PLAY_INFO, src, len);
}

void MainAppProtocolComm::SendLongDataToMcu(unsigned int id, unsigned char *src, int len)
{
    sendPassThrough(this, mcu::kKindMcu, id, src, len);
}

void MainAppProtocolComm::SendLongDataToCAN(unsigned int id, unsigned char *src, int len)
{
    sendPassThrough(this, mcu::kKindCan, id, src, len);
}

} // namespace tamoappframework

// The MCU transport's reading: what the socket holds, framed into records and
// handed on, on the link's thread.

#include "mcutransport.h"

#include "processlog.h"

#include <cassert>
#include <cerrno>

namespace tamoappframework {

using processlog::Priority;

void McuTransport::noteOverflow(int dropped)
{
    if (m_dropLogged) {
        ++m_suppressedDrops;
        return;
    }
    processlog::outf(Priority::Warning, "%sdropped %d pending bytes\n", kTag, dropped);
    m_dropLogged = true;
}

void McuTransport::endGarbageStreak()
{
    if (m_suppressedResets > 0)
        processlog::outf(Priority::Info, "%sover size repeated %u times\n", kTag, m_suppressedResets);
    if (m_suppressedDrops > 0)
        processlog::outf(Priority::Info, "%sdropped pending bytes %u more times\n", kTag, m_suppressedDrops);
    m_suppressedResets = m_suppressedDrops = 0;
    m_resetLogged = m_dropLogged = false;
}

bool McuTransport::dispatchPending()
{
    assert(onLinkThread());
    McuFramer::Record rec;
    for (;;) {
        const McuFramer::Step step = m_framer.next(rec);
        if (step == McuFramer::Step::NeedMore)
            return true;
        if (step == McuFramer::Step::Reset) {
            // The stream has no marker to find the next record by: whatever
            // follows on this connection would be guesswork. A run of garbage
            // logs once, however many connections it takes.
            if (m_resetLogged)
                ++m_suppressedResets;
            else
                processlog::outf(Priority::Warning, "%sover size: %d\n", kTag, mcu::kRecvBufferSize);
            m_resetLogged = true;
            return false;
        }
        if (m_resetLogged || m_dropLogged)
            endGarbageStreak();
        if (!m_running.load())
            return true;
        m_gotRecord = true;
        ++m_recordsIn;
        if (m_capture) {
            // As it was on the stream: a long record's own length, not the padded copy.
            const uint32_t kind = mcu::loadLe32(rec.data);
            const int size = kind == mcu::kKindShort ? rec.size : int(mcu::loadLe32(rec.data + 8));
            m_capture(m_captureContext, false, m_connectionNo, rec.data, size);
        }
        if (m_tap)
            m_tap(m_tapContext, rec.data, rec.size);
        if (m_sink)
            m_sink(m_sinkContext, rec.data, rec.size);
    }
}

// One read of what is waiting: 1 bytes came, 0 nothing is waiting, -1 the connection ended.
int McuTransport::readTurn()
{
    assert(onLinkThread());
    auto *buf = reinterpret_cast<unsigned char *>(&m_scratch);
    const ssize_t n = mcusocket::readNow(m_socket, buf, sizeof m_scratch);
    if (n > 0) {
        int dropped = 0;
        m_framer.append(buf, int(n), &dropped);
        if (dropped > 0)
            noteOverflow(dropped);
        if (dispatchPending())
            return 1;
        endConnection();
        return -1;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    if (!quiet()) {
        if (n < 0)
            processlog::outf(Priority::Warning, "-main app socket read failed with error: %d\n", errno);
        else
            processlog::outf(Priority::Info, "Main App invaild datalen:%d\n", int(n));
    }
    endGarbageStreak();
    endConnection();
    return -1;
}

} // namespace tamoappframework

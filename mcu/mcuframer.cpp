#include "mcuframer.h"

#include <algorithm>
#include <cstring>

McuFramer::McuFramer()
{
    std::memset(McuRecvBuffer, 0, sizeof McuRecvBuffer);
    std::memset(&m_record, 0, sizeof m_record);
}

void McuFramer::reset()
{
    std::memset(McuRecvBuffer, 0, size_t(m_pending));
    m_pending = 0;
    m_deferred = 0;
    m_skip = 0;
}

// Removes k bytes from the front; the rest moves to the buffer's start and the
// freed tail is cleared, so that nothing beyond m_pending is ever stale.
void McuFramer::consume(int k)
{
    const int rest = m_pending - k;
    if (rest > 0)
        std::memmove(McuRecvBuffer, McuRecvBuffer + k, size_t(rest));
    std::memset(McuRecvBuffer + rest, 0, size_t(k));
    m_pending = rest;
}

void McuFramer::applyDeferred()
{
    if (m_deferred > 0) {
        consume(m_deferred);
        m_deferred = 0;
    }
}

int McuFramer::append(const unsigned char *data, int n, int *dropped)
{
    if (dropped)
        *dropped = 0;
    applyDeferred();
    if (!data || n <= 0)
        return 0;
    n = std::min(n, kCapacity);

    // The tail of a cut record never reaches the buffer.
    if (m_skip > 0 && m_pending == 0) {
        const int k = int(std::min<uint32_t>(m_skip, uint32_t(n)));
        m_skip -= uint32_t(k);
        m_stats.skippedBytes += uint64_t(k);
        if (k == n)
            return n;
        const int taken = append(data + k, n - k, dropped);
        return k + taken;
    }

    if (n > kCapacity - m_pending) {
        if (dropped)
            *dropped = m_pending;
        ++m_stats.overflows;
        // What was pending is lost, and with it any place in a cut record.
        reset();
    }
    std::memcpy(McuRecvBuffer + m_pending, data, size_t(n));
    m_pending += n;
    return n;
}

McuFramer::Step McuFramer::next(Record &out)
{
    applyDeferred();

    if (m_skip > 0 && m_pending > 0) {
        const int k = int(std::min<uint32_t>(m_skip, uint32_t(m_pending)));
        consume(k);
        m_skip -= uint32_t(k);
        m_stats.skippedBytes += uint64_t(k);
    }
    if (m_skip > 0 || m_pending < mcu::kHeaderSize)
        return Step::NeedMore;

    const uint32_t kind = mcu::loadLe32(McuRecvBuffer);
    if (kind == mcu::kKindShort) {
        if (m_pending < mcu::kShortRecordSize)
            return Step::NeedMore;
        out.data = McuRecvBuffer;
        out.size = mcu::kShortRecordSize;
        m_deferred = mcu::kShortRecordSize;
        ++m_stats.records;
        return Step::Record;
    }

    const uint32_t length = mcu::loadLe32(McuRecvBuffer + 8);
    if (length < uint32_t(mcu::kHeaderSize) || length > kMaxDeclaredLength) {
        reset();
        ++m_stats.resets;
        return Step::Reset;
    }

    const int take = int(std::min<uint32_t>(length, uint32_t(kRecordSize)));
    if (m_pending < take)
        return Step::NeedMore;

    auto *rec = reinterpret_cast<unsigned char *>(&m_record);
    std::memcpy(rec, McuRecvBuffer, size_t(take));
    std::memset(rec + take, 0, sizeof m_record - size_t(take));
    if (length > uint32_t(kRecordSize)) {
        m_record.length = uint32_t(kRecordSize);
        m_skip = length - uint32_t(kRecordSize);
        ++m_stats.truncated;
    }
    consume(take);
    out.data = rec;
    out.size = kRecordSize;
    ++m_stats.records;
    return Step::Record;
}

#include "launcherstream.h"

#include "mcurecords.h"

namespace mcusim {

void LauncherStream::append(const unsigned char *data, size_t n)
{
    // Compact lazily: consumed bytes are dropped once they outweigh the rest.
    if (m_start > 0 && m_start >= m_buf.size() / 2) {
        m_buf.erase(m_buf.begin(), m_buf.begin() + long(m_start));
        m_start = 0;
    }
    m_buf.insert(m_buf.end(), data, data + n);
}

bool LauncherStream::next(Bytes *record)
{
    const size_t have = pending();
    if (have < 4)
        return false;
    const unsigned char *p = m_buf.data() + m_start;
    const uint32_t kind = mcu::loadLe32(p);
    size_t size;
    if (kind == mcu::kKindShort)
        size = mcu::kShortRecordSize;
    else if (kind == mcu::kKindMcu || kind == mcu::kKindCan)
        size = mcu::kLongRecordSize;
    else
        size = have < size_t(mcu::kLongRecordSize) ? have : size_t(mcu::kLongRecordSize);
    if (have < size)
        return false;
    record->assign(p, p + size);
    m_start += size;
    if (m_start == m_buf.size()) {
        m_buf.clear();
        m_start = 0;
    }
    return true;
}

void LauncherStream::clear()
{
    m_buf.clear();
    m_start = 0;
}

} // namespace mcusim

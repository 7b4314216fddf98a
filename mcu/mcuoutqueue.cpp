#include "mcuoutqueue.h"

#include "mcusocket.h"

#include <algorithm>
#include <cstring>

namespace tamoappframework {

bool McuOutQueue::push(const void *data, size_t len)
{
    if (len > room())
        return false;
    const size_t tail = (m_head + m_used) % sizeof m_ring;
    const size_t first = std::min(len, sizeof m_ring - tail);
    std::memcpy(m_ring + tail, data, first);
    std::memcpy(m_ring, static_cast<const unsigned char *>(data) + first, len - first);
    m_used += len;
    return true;
}

ssize_t McuOutQueue::writeTo(int fd)
{
    if (m_used == 0)
        return 0;
    // The queued bytes are at most two runs of the ring: one call takes both.
    const size_t first = std::min(m_used, sizeof m_ring - m_head);
    const ssize_t n = mcusocket::sendNow(fd, m_ring + m_head, first, m_ring, m_used - first);
    if (n > 0) {
        m_head = (m_head + size_t(n)) % sizeof m_ring;
        m_used -= size_t(n);
        if (m_used == 0)
            m_head = 0;
    }
    return n;
}

void McuOutQueue::clear()
{
    m_head = 0;
    m_used = 0;
}

} // namespace tamoappframework

#ifndef MCUOUTQUEUE_H
#define MCUOUTQUEUE_H

#include "linklimits.h"

#include <cstddef>

#include <sys/types.h>

namespace tamoappframework {

// The bytes the link has taken for the MCU service that its socket had no
// room for yet, in order. Records go in whole or not at all; bytes leave from
// the front as the socket takes them, so a record the socket took only part of
// goes on from the first byte it did not take. Fixed size: nothing allocates.
// Not locked: the transport guards it with its send lock.
class McuOutQueue
{
public:
    bool empty() const { return m_used == 0; }
    size_t room() const { return sizeof m_ring - m_used; }

    // Appends [data, data + len) whole; false (and nothing appended) when it does not fit.
    bool push(const void *data, size_t len);
    // Hands as much of the queue to fd as it takes without waiting: the bytes
    // taken (0 when it has no room), or -1 with errno when the connection is gone.
    ssize_t writeTo(int fd);
    void clear();

private:
    unsigned char m_ring[linklimits::kOutQueueBytes];
    size_t m_head = 0;
    size_t m_used = 0;
};

} // namespace tamoappframework

#endif // MCUOUTQUEUE_H

#ifndef MCUSIM_LAUNCHERSTREAM_H
#define MCUSIM_LAUNCHERSTREAM_H

#include "codec.h"

#include <cstddef>

namespace mcusim {

// Cuts the launcher's byte stream into records. The launcher writes no length
// word: kind 1 is 16 bytes, kinds 2 and 3 are 264. A word of any other kind
// cannot be framed; what is buffered then (at most 264 bytes) comes out as one
// record of its own, so the stream moves on instead of stalling.
class LauncherStream
{
public:
    void append(const unsigned char *data, size_t n);
    // Takes the next whole record; false while it is incomplete.
    bool next(Bytes *record);
    size_t pending() const { return m_buf.size() - m_start; }
    void clear();

private:
    Bytes m_buf;
    size_t m_start = 0;
};

} // namespace mcusim

#endif // MCUSIM_LAUNCHERSTREAM_H

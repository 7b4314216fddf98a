#ifndef CHUNKPLAN_H
#define CHUNKPLAN_H

#include <cstddef>
#include <cstdint>

namespace fuzzentry {

// Splits a fuzz input into the stream bytes and the sizes of the reads that
// deliver them. Byte 0 tells how many size bytes follow (byte 0 % 8 + 1); each
// size byte b gives one read of b + 1 bytes (1 to 240) when b < 240, of
// (b - 239) * 256 bytes (256 to 3840) when b < 255, so that reads larger than
// the free space, the whole buffer and more all occur, and of 268 bytes (one
// read of the receive loop) when b is 255. The sizes are used in turn,
// cyclically, until the stream bytes run out.
class ChunkPlan
{
public:
    static constexpr size_t kOneRead = 268;

    ChunkPlan(const uint8_t *data, size_t size)
    {
        if (size == 0)
            return;
        size_t count = size_t(data[0] % 8) + 1;
        if (count > size - 1)
            count = size - 1;
        m_sizes = data + 1;
        m_sizeCount = count;
        m_stream = data + 1 + count;
        m_left = size - 1 - count;
    }

    // The next read; false once the stream is used up.
    bool next(const uint8_t **chunk, size_t *length)
    {
        if (m_left == 0)
            return false;
        size_t want = m_left;
        if (m_sizeCount > 0) {
            const uint8_t b = m_sizes[m_turn++ % m_sizeCount];
            want = b < 240 ? size_t(b) + 1 : b < 255 ? size_t(b - 239) * 256 : kOneRead;
        }
        if (want > m_left)
            want = m_left;
        *chunk = m_stream;
        *length = want;
        m_stream += want;
        m_left -= want;
        return true;
    }

    // The stream bytes that the reads deliver.
    size_t streamSize() const { return m_left; }

private:
    const uint8_t *m_sizes = nullptr;
    size_t m_sizeCount = 0;
    size_t m_turn = 0;
    const uint8_t *m_stream = nullptr;
    size_t m_left = 0;
};

} // namespace fuzzentry

#endif // CHUNKPLAN_H

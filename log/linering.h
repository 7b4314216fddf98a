#ifndef LINERING_H
#define LINERING_H

#include <cstddef>

#include <sys/uio.h>

namespace processlog {

// A fixed queue of whole text lines, oldest first, in one 64 KiB buffer: a
// line goes in whole or not at all, and nothing is allocated. Not locked: its
// owner serialises every call.
class LineRing
{
public:
    static constexpr size_t kCapacity = 64 * 1024;
    static constexpr size_t kMaxLine = 4096; // longer text is cut (before prefixes)

    // Queues text as lines: each line of it (text may hold several) starts
    // with prefix, and a missing final newline is added. False, with nothing
    // queued, when all of it would take the queue past `limit` bytes.
    bool push(const char *prefix, size_t prefixLen, const char *text, size_t len, size_t limit = kCapacity);

    // The oldest queued bytes, as many whole lines as fit in max bytes (a line
    // longer than max comes out in pieces), in one or two pieces (the buffer
    // wraps); returns how many pieces. They stay where they are, whatever is
    // pushed meanwhile, until pop() removes them. A pop() that empties the
    // queue moves its start back to the front of the buffer.
    int front(size_t max, iovec piece[2]) const;
    void pop(size_t n);

    size_t used() const { return m_used; }
    bool empty() const { return m_used == 0; }
    bool halfFull() const { return m_used >= kCapacity / 2; }
    // Lines queued after the first `skip` bytes.
    size_t linesAfter(size_t skip) const;
    void clear() { m_head = m_used = 0; }

private:
    void put(size_t &tail, const char *p, size_t n);

    char m_buf[kCapacity];
    size_t m_head = 0; // oldest queued byte
    size_t m_used = 0;
};

} // namespace processlog

#endif // LINERING_H

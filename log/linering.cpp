#include "linering.h"

#include <algorithm>
#include <cstring>

namespace processlog {

namespace {

size_t countNewlines(const char *p, size_t n)
{
    size_t count = 0;
    const char *end = p + n;
    while ((p = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p))))) {
        ++count;
        ++p;
    }
    return count;
}

} // namespace

void LineRing::put(size_t &tail, const char *p, size_t n)
{
    const size_t first = std::min(n, kCapacity - tail);
    std::memcpy(m_buf + tail, p, first);
    if (first < n)
        std::memcpy(m_buf, p + first, n - first);
    tail = (tail + n) % kCapacity;
}

bool LineRing::push(const char *prefix, size_t prefixLen, const char *text, size_t len, size_t limit)
{
    len = std::min(len, kMaxLine);
    const bool hasNewline = len > 0 && text[len - 1] == '\n';
    const size_t body = hasNewline ? len - 1 : len; // the text without its final newline
    const size_t lines = prefixLen > 0 ? 1 + countNewlines(text, body) : 1;
    const size_t size = body + 1 + lines * prefixLen;
    if (m_used + size > std::min(limit, kCapacity))
        return false;

    size_t tail = (m_head + m_used) % kCapacity;
    if (prefixLen == 0 && hasNewline) {
        put(tail, text, len);
    } else if (prefixLen == 0) {
        put(tail, text, body);
        put(tail, "\n", 1);
    } else {
        const char *p = text;
        const char *end = text + body;
        for (;;) {
            put(tail, prefix, prefixLen);
            const char *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
            if (!nl) {
                put(tail, p, size_t(end - p));
                break;
            }
            put(tail, p, size_t(nl + 1 - p));
            p = nl + 1;
        }
        put(tail, "\n", 1);
    }
    m_used += size;
    return true;
}

int LineRing::front(size_t max, iovec piece[2]) const
{
    const size_t n = std::min(m_used, max);
    const size_t first = std::min(n, kCapacity - m_head);
    piece[0] = {const_cast<char *>(m_buf) + m_head, first};
    piece[1] = {const_cast<char *>(m_buf), n - first};
    if (n < m_used) {
        // Whole lines only, unless one line alone is longer than max.
        if (const void *nl = ::memrchr(piece[1].iov_base, '\n', piece[1].iov_len)) {
            piece[1].iov_len = size_t(static_cast<const char *>(nl) - m_buf) + 1;
        } else if (const void *nl0 = ::memrchr(piece[0].iov_base, '\n', piece[0].iov_len)) {
            piece[0].iov_len = size_t(static_cast<const char *>(nl0) - (m_buf + m_head)) + 1;
            piece[1].iov_len = 0;
        }
    }
    return piece[1].iov_len > 0 ? 2 : 1;
}

void LineRing::pop(size_t n)
{
    n = std::min(n, m_used);
    m_head = (m_head + n) % kCapacity;
    m_used -= n;
    // Emptied, the queue starts again at the front of its buffer: a steady
    // trickle of lines, drained as it comes, keeps to the buffer's first
    // pages instead of touching (and keeping resident) all 64 KiB in turn.
    if (m_used == 0)
        m_head = 0;
}

size_t LineRing::linesAfter(size_t skip) const
{
    if (skip >= m_used)
        return 0;
    const size_t from = (m_head + skip) % kCapacity;
    const size_t n = m_used - skip;
    const size_t first = std::min(n, kCapacity - from);
    return countNewlines(m_buf + from, first) + countNewlines(m_buf, n - first);
}

} // namespace processlog

#include "fuzzentry.h"

#include "chunkplan.h"
#include "mcuframer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace fuzzentry {

namespace {

[[noreturn]] void fault(const char *what, unsigned long long detail = 0)
{
    std::fprintf(stderr, "fuzzentry: %s (%llu)\n", what, detail);
    std::fflush(stderr);
    std::abort();
}

uint32_t le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The framing rules, written plainly over a growing vector: what McuFramer
// must do, byte for byte, with none of its buffer management.
class FramingModel
{
public:
    static constexpr size_t kCapacity = 2048;
    static constexpr size_t kRecord = 268;
    static constexpr size_t kShort = 16;
    static constexpr size_t kHeader = 12;

    size_t append(const uint8_t *data, size_t n)
    {
        n = std::min(n, kCapacity);
        if (m_skip > 0 && m_pending.empty()) {
            const size_t k = std::min<size_t>(m_skip, n);
            m_skip -= uint32_t(k);
            return k == n ? n : k + append(data + k, n - k);
        }
        if (n > kCapacity - m_pending.size()) {
            m_pending.clear();
            m_skip = 0;
            ++m_overflows;
        }
        m_pending.insert(m_pending.end(), data, data + n);
        return n;
    }

    McuFramer::Step next(std::vector<uint8_t> &record)
    {
        if (m_skip > 0 && !m_pending.empty()) {
            const size_t k = std::min<size_t>(m_skip, m_pending.size());
            m_pending.erase(m_pending.begin(), m_pending.begin() + long(k));
            m_skip -= uint32_t(k);
        }
        if (m_skip > 0 || m_pending.size() < kHeader)
            return McuFramer::Step::NeedMore;
        if (le32(m_pending.data()) == 1) {
            if (m_pending.size() < kShort)
                return McuFramer::Step::NeedMore;
            record.assign(m_pending.begin(), m_pending.begin() + long(kShort));
            m_pending.erase(m_pending.begin(), m_pending.begin() + long(kShort));
            return McuFramer::Step::Record;
        }
        const uint32_t length = le32(m_pending.data() + 8);
        if (length < kHeader || length > kCapacity) {
            m_pending.clear();
            m_skip = 0;
            return McuFramer::Step::Reset;
        }
        const size_t take = std::min<size_t>(length, kRecord);
        if (m_pending.size() < take)
            return McuFramer::Step::NeedMore;
        record.assign(kRecord, 0);
        std::copy(m_pending.begin(), m_pending.begin() + long(take), record.begin());
        if (length > kRecord) {
            record[8] = uint8_t(kRecord & 0xFF);
            record[9] = uint8_t(kRecord >> 8);
            record[10] = record[11] = 0;
            m_skip = length - uint32_t(kRecord);
        }
        m_pending.erase(m_pending.begin(), m_pending.begin() + long(take));
        return McuFramer::Step::Record;
    }

    const std::vector<uint8_t> &pending() const { return m_pending; }
    uint32_t skip() const { return m_skip; }
    uint64_t overflows() const { return m_overflows; }

private:
    std::vector<uint8_t> m_pending;
    uint32_t m_skip = 0;
    uint64_t m_overflows = 0;
};

void checkRestingState(const McuFramer &framer, const FramingModel &model)
{
    const std::vector<uint8_t> &want = model.pending();
    if (size_t(framer.pending()) != want.size())
        fault("pending byte count differs from the framing rules", uint64_t(framer.pending()));
    if (!want.empty() && std::memcmp(framer.buffer(), want.data(), want.size()) != 0)
        fault("pending bytes differ from the stream");
    static const unsigned char zeros[McuFramer::kCapacity] = {};
    const size_t freePart = size_t(McuFramer::kCapacity - framer.pending());
    if (std::memcmp(framer.buffer() + framer.pending(), zeros, freePart) != 0)
        fault("stale byte beyond the pending part of the buffer", freePart);
    if (framer.skipRemaining() != model.skip())
        fault("bytes left to skip differ from the framing rules", framer.skipRemaining());
    if (framer.stats().overflows != model.overflows())
        fault("overflow count differs from the framing rules", framer.stats().overflows);
}

} // namespace

int framerOneInput(const uint8_t *data, size_t size)
{
    // One framer per input: its state is 2.3 KiB, and a fresh one per input
    // keeps every input reproducible on its own.
    auto framer = std::make_unique<McuFramer>();
    FramingModel model;
    std::vector<uint8_t> want;
    ChunkPlan plan(data, size);
    const uint8_t *chunk;
    size_t length;
    while (plan.next(&chunk, &length)) {
        // A read larger than the buffer is taken in parts, as the framer allows.
        while (length > 0) {
            const int asked = int(std::min<size_t>(length, size_t(1) << 20));
            const int took = framer->append(chunk, asked);
            const size_t modelTook = model.append(chunk, size_t(asked));
            if (took <= 0 || size_t(took) != modelTook || took > asked)
                fault("append took a different number of bytes", uint64_t(took));
            chunk += took;
            length -= size_t(took);

            for (;;) {
                McuFramer::Record rec;
                const McuFramer::Step step = framer->next(rec);
                const McuFramer::Step expected = model.next(want);
                if (step != expected)
                    fault("framing verdict differs from the framing rules", uint64_t(step));
                if (step == McuFramer::Step::NeedMore)
                    break;
                if (step != McuFramer::Step::Record)
                    continue;
                if (!rec.data || size_t(rec.size) != want.size()
                    || std::memcmp(rec.data, want.data(), want.size()) != 0)
                    fault("framed record differs from the stream", uint64_t(rec.size));
            }
            checkRestingState(*framer, model);
        }
    }
    return 0;
}

} // namespace fuzzentry

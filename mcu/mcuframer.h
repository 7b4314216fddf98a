#ifndef MCUFRAMER_H
#define MCUFRAMER_H

#include "mcurecords.h"

#include <cstddef>
#include <cstdint>

// Reassembles the records of the MCU socket from its byte stream. Pure state:
// no socket, no thread, no allocation. Bytes go in with append(), whole records
// come out of next(), one at a time, in stream order.
//
// Framing rules:
//  - kind 1: a short record, always 16 bytes, whatever its word at offset 8.
//  - any other kind: framed by its length word (offset 8), read only once the
//    whole 12-byte header is there.
//      12..268    the record; handed over zero-padded to 268 bytes.
//      269..2048  the first 268 bytes are handed over with the length word set
//                 to 268; the rest of the declared record is skipped as it
//                 arrives.
//      0..11, above 2048: corrupt; everything pending is cleared (Reset).
//  - append() of more bytes than there is free space drops what was pending.
//
// Not thread-safe: one owner (the receive thread) feeds and drains it.
class McuFramer
{
public:
    static constexpr int kCapacity = mcu::kRecvBufferSize;    // 2048
    static constexpr int kRecordSize = mcu::kIncomingRecordSize; // 268, also one read
    static constexpr uint32_t kMaxDeclaredLength = kCapacity;

    // One framed record. `data` stays valid until the next append() or next().
    // Short records: 16 bytes in the buffer itself. Others: 268 bytes of
    // zero-padded copy, whose length word is at most 268.
    struct Record {
        unsigned char *data = nullptr;
        int size = 0;
    };

    enum class Step {
        NeedMore, // nothing complete is pending: append more
        Record,   // `out` holds the next record
        Reset,    // a corrupt length word cleared everything pending
    };

    struct Stats {
        uint64_t records = 0;      // records handed out
        uint64_t truncated = 0;    // of them, long records cut to 268 bytes
        uint64_t resets = 0;       // corrupt length words
        uint64_t overflows = 0;    // appends that dropped pending bytes
        uint64_t skippedBytes = 0; // tails of cut records
    };

    McuFramer();

    // Takes up to kCapacity bytes (returns how many it took). If they do not fit
    // beside what is pending, the pending bytes are dropped first; `dropped`
    // (when given) receives their count, else 0.
    int append(const unsigned char *data, int n, int *dropped = nullptr);

    // Frames the next record from what is pending.
    Step next(Record &out);

    // Appends `n` bytes in slices of one read (268 bytes) and hands every
    // record to onRecord(const Record &) as soon as it is complete, exactly as
    // the receive loop does. For tools, fuzzers and benchmarks.
    template <class OnRecord>
    void feed(const unsigned char *data, size_t n, OnRecord &&onRecord)
    {
        while (n > 0) {
            const int k = n < size_t(kRecordSize) ? int(n) : kRecordSize;
            append(data, k);
            data += k;
            n -= size_t(k);
            Record rec;
            for (Step s; (s = next(rec)) != Step::NeedMore;) {
                if (s == Step::Record)
                    onRecord(static_cast<const Record &>(rec));
            }
        }
    }

    // Forgets everything pending (a new connection starts a new stream).
    void reset();

    int pending() const { return m_pending; }
    uint32_t skipRemaining() const { return m_skip; }
    const Stats &stats() const { return m_stats; }
    const unsigned char *buffer() const { return McuRecvBuffer; }

private:
    void consume(int k);
    void applyDeferred();

    unsigned char McuRecvBuffer[kCapacity];       // pending bytes always start at McuRecvBuffer[0]
    tag_MCUSRV_TO_MAIN_APP_T m_record;    // zero-padded copy of the last long record
    int m_pending = 0;                    // bytes held in McuRecvBuffer
    int m_deferred = 0;                   // bytes of the record handed out, consumed on the next call
    uint32_t m_skip = 0;                  // bytes of a cut record still to skip
    Stats m_stats;
};

#endif // MCUFRAMER_H

// Reassembly of MCU records from the byte stream, independent of any socket.

#include "mcuframer.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QByteArray>

#include <ostream>
#include <string>
#include <vector>

namespace {

using testsupport::hex;

using testsupport::shortRecord;

// A long record as it travels: the header, then wireSize - 12 payload bytes
// counting up from `seed`.
QByteArray longRecord(uint32_t kind, uint32_t id, uint32_t length, int wireSize, int seed = 0)
{
    QByteArray r = testsupport::le32(kind) + testsupport::le32(id) + testsupport::le32(length);
    for (int i = 12; i < wireSize; ++i)
        r.append(char((seed + i) & 0xff));
    return r;
}

// What the dispatcher must see for a long record on the wire: its first bytes
// up to 268, the length word cut to 268, zero padding to 268.
QByteArray delivered(const QByteArray &wire)
{
    const uint32_t length = mcu::loadLe32(reinterpret_cast<const unsigned char *>(wire.constData()) + 8);
    QByteArray r = wire.left(int(std::min<uint32_t>(length, 268)));
    if (length > 268)
        r.replace(8, 4, testsupport::le32(268));
    r.append(QByteArray(268 - r.size(), '\0'));
    return r;
}

struct Output {
    std::vector<QByteArray> records;
    int resets = 0;
};

void drain(McuFramer &framer, Output &out)
{
    McuFramer::Record rec;
    for (;;) {
        const McuFramer::Step step = framer.next(rec);
        if (step == McuFramer::Step::NeedMore)
            return;
        if (step == McuFramer::Step::Reset)
            ++out.resets;
        else
            out.records.emplace_back(reinterpret_cast<const char *>(rec.data), rec.size);
    }
}

// Appends `stream` in the given chunk sizes (the last chunk takes the rest),
// draining after each one as the receive loop does.
Output run(const QByteArray &stream, const std::vector<int> &chunks, McuFramer &framer)
{
    Output out;
    int at = 0;
    for (size_t i = 0; at < stream.size(); ++i) {
        const int n = i < chunks.size() ? std::min(chunks[i], stream.size() - at) : stream.size() - at;
        EXPECT_EQ(n, framer.append(reinterpret_cast<const unsigned char *>(stream.constData()) + at, n));
        at += n;
        drain(framer, out);
    }
    return out;
}

Output run(const QByteArray &stream, const std::vector<int> &chunks)
{
    McuFramer framer;
    Output out = run(stream, chunks, framer);
    EXPECT_EQ(0, framer.pending());
    return out;
}

void expectRecords(const std::vector<QByteArray> &want, const Output &got, const std::string &how)
{
    ASSERT_EQ(want.size(), got.records.size()) << how;
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(hex(want[i]), hex(got.records[i])) << how << ", record " << i;
    EXPECT_EQ(0, got.resets) << how;
}

TEST(McuFramerStream, MixedRecordsWholeBytewiseAndAtEverySplitPoint)
{
    // Short records whose word at offset 8 would be a bad length for a long
    // record; a full long record before a shorter one (padding must be zero,
    // not the earlier record's bytes); other kinds; a cut record.
    const QByteArray s1 = shortRecord(13078, 0, 7);
    const QByteArray s2 = shortRecord(529, 5000, 1);
    const QByteArray lFull = longRecord(2, 25, 268, 268, 0xEE);
    const QByteArray l20 = longRecord(2, 12, 20, 20);
    const QByteArray lMin = longRecord(9, 1, 12, 12);
    const QByteArray l300 = longRecord(3, 84, 300, 300, 3);
    const QByteArray s3 = shortRecord(28929, 0, 0);
    const QByteArray l17 = longRecord(0, 2, 17, 17, 0x40);

    const QByteArray stream = s1 + s2 + lFull + l20 + lMin + l300 + s3 + l17 + s1;
    const std::vector<QByteArray> want = {s1, s2, delivered(lFull), delivered(l20), delivered(lMin),
                                          delivered(l300), s3, delivered(l17), s1};

    expectRecords(want, run(stream, {}), "whole");
    expectRecords(want, run(stream, std::vector<int>(size_t(stream.size()), 1)), "byte by byte");
    for (int split = 1; split < stream.size(); ++split)
        expectRecords(want, run(stream, {split}), "split at " + std::to_string(split));
}

TEST(McuFramerStream, FeedSlicesLongStreamsAsReadsDo)
{
    // More than the buffer holds: fed in read-sized slices, nothing overflows.
    QByteArray stream;
    std::vector<QByteArray> want;
    for (int i = 0; i < 60; ++i) {
        const QByteArray s = shortRecord(1000 + uint32_t(i), uint32_t(i), 0);
        const QByteArray l = longRecord(2, uint32_t(i), uint32_t(12 + i * 4), 12 + i * 4, i);
        stream += s + l;
        want.push_back(s);
        want.push_back(delivered(l));
    }
    ASSERT_GT(stream.size(), McuFramer::kCapacity);

    McuFramer framer;
    std::vector<QByteArray> got;
    framer.feed(reinterpret_cast<const unsigned char *>(stream.constData()), size_t(stream.size()),
                [&got](const McuFramer::Record &r) {
                    got.emplace_back(reinterpret_cast<const char *>(r.data), r.size);
                });
    ASSERT_EQ(want.size(), got.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(want[i], got[i]) << "record " << i;
    EXPECT_EQ(0u, framer.stats().overflows);
}

// Length words from corrupt to just too large: whatever the word says, the
// framer neither reads outside its storage nor stalls, and the next valid record
// comes through.
struct LengthRow {
    const char *name;
    uint32_t length;
    bool corrupt;
};

void PrintTo(const LengthRow &row, std::ostream *os)
{
    *os << row.name << " (length " << row.length << ")";
}

class McuFramerLength : public ::testing::TestWithParam<LengthRow>
{
};

TEST_P(McuFramerLength, NextValidRecordArrives)
{
    const LengthRow row = GetParam();
    // A corrupt header travels alone; a declared record travels whole.
    const int wireSize = row.corrupt ? 12 : int(row.length);
    const QByteArray odd = longRecord(2, 99, row.length, wireSize, 0x11);
    const QByteArray next = shortRecord(13078, 4, 2);

    for (const bool bytewise : {false, true}) {
        SCOPED_TRACE(bytewise ? "byte by byte" : "whole");
        McuFramer framer;
        const std::vector<int> chunks = bytewise ? std::vector<int>(size_t(odd.size()), 1)
                                                 : std::vector<int>{};
        Output out = run(odd, chunks, framer);
        const Output tail = run(next, {}, framer);
        out.records.insert(out.records.end(), tail.records.begin(), tail.records.end());
        out.resets += tail.resets;

        if (row.corrupt) {
            EXPECT_EQ(1, out.resets);
            ASSERT_EQ(1u, out.records.size());
        } else {
            EXPECT_EQ(0, out.resets);
            ASSERT_EQ(2u, out.records.size());
            EXPECT_EQ(hex(delivered(odd)), hex(out.records[0]));
        }
        EXPECT_EQ(hex(next), hex(out.records.back()));
        EXPECT_EQ(0, framer.pending());
        EXPECT_EQ(0u, framer.skipRemaining());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, McuFramerLength,
    ::testing::Values(LengthRow{"zero", 0, true}, LengthRow{"one", 1, true},
                      LengthRow{"eight", 8, true}, LengthRow{"eleven", 11, true},
                      LengthRow{"headerOnly", 12, false}, LengthRow{"fifteen", 15, false},
                      LengthRow{"sixteen", 16, false}, LengthRow{"seventeen", 17, false},
                      LengthRow{"justUnderRecord", 267, false}, LengthRow{"wholeRecord", 268, false},
                      LengthRow{"justOverRecord", 269, false}, LengthRow{"threeHundred", 300, false},
                      LengthRow{"wholeBuffer", 2048, false}, LengthRow{"overBuffer", 2049, true},
                      LengthRow{"allOnes", 0xFFFFFFFFu, true}),
    [](const ::testing::TestParamInfo<LengthRow> &info) { return std::string(info.param.name); });

TEST(McuFramerBuffer, IncompleteHeaderIsNotExamined)
{
    // Eleven bytes of a header whose length word would read as 0 if examined.
    McuFramer framer;
    const QByteArray head = longRecord(2, 5, 20, 20).left(11);
    framer.append(reinterpret_cast<const unsigned char *>(head.constData()), head.size());
    McuFramer::Record rec;
    EXPECT_EQ(McuFramer::Step::NeedMore, framer.next(rec));
    EXPECT_EQ(11, framer.pending());
    EXPECT_EQ(0u, framer.stats().resets);
}

TEST(McuFramerBuffer, OverflowDropsPendingBytesAndKeepsTheNewOnes)
{
    McuFramer framer;
    // 2000 bytes appended without draining, then a 100-byte record.
    const QByteArray stale(2000, char(0x5A));
    framer.append(reinterpret_cast<const unsigned char *>(stale.constData()), stale.size());
    const QByteArray rec = longRecord(2, 7, 100, 100);
    int dropped = -1;
    framer.append(reinterpret_cast<const unsigned char *>(rec.constData()), rec.size(), &dropped);
    EXPECT_EQ(2000, dropped);
    EXPECT_EQ(100, framer.pending());
    // Nothing of the dropped bytes is left behind the new ones.
    for (int i = 100; i < McuFramer::kCapacity; ++i)
        ASSERT_EQ(0, framer.buffer()[i]) << "byte " << i;

    Output out;
    drain(framer, out);
    ASSERT_EQ(1u, out.records.size());
    EXPECT_EQ(hex(delivered(rec)), hex(out.records[0]));
}

TEST(McuFramerBuffer, ArbitraryChunksNeverLeaveStateOutOfBounds)
{
    // A deterministic pseudo-random stream of headers with odd kinds and
    // lengths, fed in odd chunk sizes (some larger than the free space): the
    // state stays within its bounds and every record handed out has a record's size.
    uint32_t x = 12345;
    auto rnd = [&x] {
        x = x * 1103515245u + 12345u;
        return x >> 8;
    };
    QByteArray noise;
    for (int i = 0; i < 3000; ++i) {
        const uint32_t pick = rnd() % 4;
        noise += testsupport::le32(pick == 0 ? 1 : rnd() % 5);
        noise += testsupport::le32(rnd());
        noise += testsupport::le32(pick == 1 ? rnd() % 3000 : rnd() % 300);
    }
    McuFramer framer;
    Output out;
    for (int at = 0; at < noise.size();) {
        const int n = std::min(int(rnd() % 700) + 1, noise.size() - at);
        framer.append(reinterpret_cast<const unsigned char *>(noise.constData()) + at, n);
        at += n;
        drain(framer, out);
        ASSERT_GE(framer.pending(), 0);
        ASSERT_LE(framer.pending(), McuFramer::kCapacity);
        ASSERT_LE(framer.skipRemaining(), uint32_t(McuFramer::kCapacity - 268));
    }
    for (const QByteArray &r : out.records)
        ASSERT_TRUE(r.size() == 16 || r.size() == 268);

    // A new stream (a new connection) starts clean.
    framer.reset();
    const QByteArray next = shortRecord(42, 1, 2);
    const Output tail = run(next, {}, framer);
    ASSERT_EQ(1u, tail.records.size());
    EXPECT_EQ(hex(next), hex(tail.records[0]));
}

} // namespace

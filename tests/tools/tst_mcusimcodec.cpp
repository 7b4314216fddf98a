// The simulator's record codec and stream reader against the records of the link.

#include "codec.h"
#include "launcherstream.h"
#include "mcurecords.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace mcusim;

namespace {

class Utc : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

Bytes bytesOf(std::initializer_list<int> v)
{
    Bytes b;
    for (int x : v)
        b.push_back(static_cast<unsigned char>(x));
    return b;
}

Bytes longRecord(uint32_t kind, uint32_t id, const Bytes &payloadStart)
{
    Bytes b(264, 0);
    mcu::storeLe32(b.data(), kind);
    mcu::storeLe32(b.data() + 4, id);
    std::copy(payloadStart.begin(), payloadStart.end(), b.begin() + 8);
    return b;
}

std::string value(const Decoded &d, const char *key)
{
    const Field *f = d.field(key);
    return f ? f->value : "<missing " + std::string(key) + ">";
}

} // namespace

TEST_F(Utc, LauncherShortRecordsGetTheirNames)
{
    Decoded ready = decodeFromLauncher(bytesOf({1, 0, 0, 0, 0x0C, 0, 0, 0, 0x11, 0, 0, 0, 2, 0, 0, 0}));
    EXPECT_EQ(ready.text(), "app-ready p2=2");

    // SendCurSrcToMcu(3, 1): the id in the lower half of p2, the other argument in the upper.
    Decoded src = decodeFromLauncher(bytesOf({1, 0, 0, 0, 0x0C, 0, 0, 0, 5, 0, 0, 0, 3, 0, 1, 0}));
    EXPECT_EQ(src.text(), "source id=3 a=1");

    EXPECT_EQ(decodeFromLauncher(encodeShort(12, 190, 0)).name, "heartbeat");
    EXPECT_EQ(decodeFromLauncher(encodeShort(12, 140, 0)).name, "eject");
    EXPECT_EQ(decodeFromLauncher(encodeShort(12, 186, 0)).name, "param-ack");
    EXPECT_EQ(decodeFromLauncher(encodeShort(12, 189, 7)).text(), "key-study-cmd value=7 form=short");
    // SendDataToMcu with a message number of its own, and an unknown command code.
    EXPECT_EQ(decodeFromLauncher(encodeShort(99, 1, 2)).text(), "short msg=99 p1=1 p2=2");
    EXPECT_EQ(decodeFromLauncher(encodeShort(12, 77, 5)).text(), "short msg=12 p1=77 p2=5");
}

TEST_F(Utc, LauncherLongRecordsGetTheirNames)
{
    // The clock echo with the value 0x01020304: kind 2, id 195, 04 01 02 03 04, 251 zeros.
    Bytes clock = longRecord(2, 195, bytesOf({4, 1, 2, 3, 4}));
    Decoded c = decodeFromLauncher(clock);
    EXPECT_EQ(c.name, "time-clock");
    EXPECT_EQ(value(c, "t"), "16909060");
    EXPECT_EQ(value(c, "date"), "1970-07-15 16:57:40");
    EXPECT_EQ(value(c, "count"), "4");
    EXPECT_FALSE(c.field("date")->stable);

    // Key colour 511, 128, 7: only the low bytes travel.
    Decoded k = decodeFromLauncher(longRecord(2, 19, bytesOf({4, 1, 0xFF, 0x80, 7})));
    EXPECT_EQ(k.text(), "key-color a=255 b=128 c=7 count=4 sub=1");

    EXPECT_EQ(decodeFromLauncher(longRecord(2, 201, bytesOf({1, 7}))).text(),
              "key-study-cmd value=7 form=long");
    EXPECT_EQ(decodeFromLauncher(longRecord(2, 196, bytesOf({9, 8, 0, 7}))).text(),
              "media-info bytes=\"09 08 00 07\"");
    EXPECT_EQ(decodeFromLauncher(longRecord(2, 300, bytesOf({0xAA}))).text(), "mcu-data id=300 bytes=aa");
    // A CAN record is named by its kind, whatever its id.
    EXPECT_EQ(decodeFromLauncher(longRecord(3, 195, bytesOf({1, 2}))).text(),
              "can-data id=195 bytes=\"01 02\"");
}

TEST_F(Utc, VersionReportPartsAreReadBack)
{
    // Customer "ab", SDK "xyz", date "2024050112000".
    Bytes pl = bytesOf({21, 2, 'a', 'b', 3, 'x', 'y', 'z', 0x0D});
    for (char ch : std::string("2024050112000"))
        pl.push_back(static_cast<unsigned char>(ch));
    Decoded d = decodeFromLauncher(longRecord(2, 205, pl));
    EXPECT_EQ(d.text(), "version-report customer=ab sdk=xyz date=2024050112000 count=21 layout=ok");

    // Empty versions: 16, 0, 0, 0x0D, then the date bytes.
    Bytes empty = bytesOf({16, 0, 0, 0x0D, '2', '0', '2', '4'});
    Decoded e = decodeFromLauncher(longRecord(2, 205, empty));
    EXPECT_EQ(value(e, "customer"), "");
    EXPECT_EQ(value(e, "date"), "2024");
    EXPECT_EQ(value(e, "layout"), "ok");

    // A wrong count byte, a missing carriage return and stray bytes after the
    // report are all layout faults.
    Bytes badCount = pl;
    badCount[0] = 20;
    EXPECT_EQ(value(decodeFromLauncher(longRecord(2, 205, badCount)), "layout"), "bad");
    Bytes noCr = pl;
    noCr[8] = 0x0A;
    EXPECT_EQ(value(decodeFromLauncher(longRecord(2, 205, noCr)), "layout"), "bad");
    Bytes stray = longRecord(2, 205, pl);
    stray[8 + 100] = 1;
    EXPECT_EQ(value(decodeFromLauncher(stray), "layout"), "bad");
    // A length byte that points past the payload does not read beyond it.
    Decoded wild = decodeFromLauncher(longRecord(2, 205, bytesOf({255, 255})));
    EXPECT_EQ(value(wild, "layout"), "bad");
}

TEST_F(Utc, UnframeableRecordsShowAsWordsAndBytes)
{
    Decoded u = decodeFromLauncher(bytesOf({7, 0, 0, 0, 1, 0, 0, 0, 2, 0}));
    EXPECT_EQ(u.name, "unknown");
    EXPECT_EQ(value(u, "words"), "7 1");
    EXPECT_EQ(value(u, "size"), "10");
    EXPECT_EQ(value(u, "bytes"), "07 00 00 00 01 00 00 00 02 00");
    // A long kind with the wrong size is no long record.
    EXPECT_EQ(decodeFromLauncher(Bytes(100, 0)).name, "unknown");
}

TEST_F(Utc, RecordsToTheLauncherAreLaidOutAsTheLinkReadsThem)
{
    // The MCU clock: kind 2, id 12, length 17, payload 04 and v most significant first.
    EXPECT_EQ(hexString(encodeTime(0x80000000u)),
              "02 00 00 00 0c 00 00 00 11 00 00 00 04 80 00 00 00");
    // The unit identity: prefix in payload bytes 1 and 2, serial in bytes 5 to 8.
    EXPECT_EQ(hexString(encodeUuid("AB", 12345)),
              "02 00 00 00 d4 00 00 00 15 00 00 00 08 41 42 00 00 00 00 30 39");
    EXPECT_EQ(hexString(encodeUuid("", 1)).substr(36), "08 00 00 00 00 00 00 00 01");
    // The firmware version ends with a zero byte.
    EXPECT_EQ(hexString(encodeMcuVersion("V1")),
              "02 00 00 00 19 00 00 00 10 00 00 00 03 56 31 00");
    EXPECT_EQ(hexString(encodeRdsTime(13, 5)), "02 00 00 00 52 00 00 00 0f 00 00 00 02 0d 05");
    EXPECT_EQ(hexString(encodeShort(13078, 1, 2)),
              "01 00 00 00 16 33 00 00 01 00 00 00 02 00 00 00");

    // The length word may lie: above the true size pads, below says less.
    Bytes padded = encodeLong(2, 57, bytesOf({1}), 300);
    EXPECT_EQ(padded.size(), 300u);
    EXPECT_EQ(mcu::loadLe32(padded.data() + 8), 300u);
    Bytes shortSaid = encodeLong(2, 57, Bytes(10, 1), 5);
    EXPECT_EQ(shortSaid.size(), 22u);
    EXPECT_EQ(mcu::loadLe32(shortSaid.data() + 8), 5u);
    EXPECT_EQ(encodeLong(2, 57, {}, 100000).size(), 12u) << "padding is bounded";
}

TEST_F(Utc, SentRecordsAreNamedForTheOutputLines)
{
    EXPECT_EQ(decodeToLauncher(encodeTime(1714564800)).text(),
              "MSG_M2A_TIME date=\"2024-05-01 12:00:00\" v=1714564800 len=17");
    EXPECT_EQ(decodeToLauncher(encodeUuid("AB", 12345)).text(), "MSG_M2A_UUID uuid=AB00000000012345 len=21");
    EXPECT_EQ(decodeToLauncher(encodeShort(13144, 65535, 0)).text(), "MSG_M2A_MCU_TYPE type=65535");
    EXPECT_EQ(decodeToLauncher(encodeShort(529, 13, 7)).text(), "MSG_M2A_PARAM p1=13 param=7");
    EXPECT_EQ(decodeToLauncher(encodeLong(2, 64, bytesOf({1}))).text(), "forward id=64 bytes=01 len=13");
    // A version text with control bytes is shown escaped, never raw.
    EXPECT_EQ(decodeToLauncher(encodeMcuVersion("a\tb")).field("text")->value, "a\\x09b");
    EXPECT_EQ(decodeToLauncher(bytesOf({1, 2, 3})).name, "unknown");
}

TEST(LauncherStream, RecordsComeOutWholeAtEverySplitPoint)
{
    Bytes stream = encodeShort(12, 17, 2);
    Bytes clock(264, 0);
    mcu::storeLe32(clock.data(), 2);
    mcu::storeLe32(clock.data() + 4, 195);
    clock[8] = 4;
    stream.insert(stream.end(), clock.begin(), clock.end());
    Bytes hb = encodeShort(12, 190, 0);
    stream.insert(stream.end(), hb.begin(), hb.end());

    for (size_t cut = 1; cut < stream.size(); ++cut) {
        LauncherStream s;
        std::vector<Bytes> out;
        Bytes r;
        s.append(stream.data(), cut);
        while (s.next(&r))
            out.push_back(r);
        s.append(stream.data() + cut, stream.size() - cut);
        while (s.next(&r))
            out.push_back(r);
        ASSERT_EQ(out.size(), 3u) << "cut at " << cut;
        EXPECT_EQ(out[0], encodeShort(12, 17, 2));
        EXPECT_EQ(out[1], clock);
        EXPECT_EQ(out[2], hb);
        EXPECT_EQ(s.pending(), 0u);
    }
}

TEST(LauncherStream, AnUnknownKindIsCutOffInsteadOfStalling)
{
    LauncherStream s;
    Bytes junk = {9, 0, 0, 0, 1, 2, 3};
    s.append(junk.data(), junk.size());
    Bytes r;
    ASSERT_TRUE(s.next(&r));
    EXPECT_EQ(r, junk);
    // What follows is framed normally.
    Bytes ready = encodeShort(12, 17, 2);
    s.append(ready.data(), ready.size());
    ASSERT_TRUE(s.next(&r));
    EXPECT_EQ(r, ready);
    // Fewer than four bytes say nothing yet.
    s.append(ready.data(), 3);
    EXPECT_FALSE(s.next(&r));
}

TEST(LocalTime, DatesParseStrictly)
{
    setenv("TZ", "UTC", 1);
    tzset();
    int64_t t = 0;
    ASSERT_TRUE(parseLocalTime("2021-01-01", &t));
    EXPECT_EQ(t, 1609459200);
    ASSERT_TRUE(parseLocalTime("2021-01-01 13:05", &t));
    EXPECT_EQ(t, 1609459200 + 13 * 3600 + 5 * 60);
    EXPECT_FALSE(parseLocalTime("2021-02-30 00:00:00", &t));
    EXPECT_FALSE(parseLocalTime("2021-01-01 24:00", &t));
    EXPECT_FALSE(parseLocalTime("2021-01-01 12:00:00x", &t));
    EXPECT_FALSE(parseLocalTime("yesterday", &t));
}

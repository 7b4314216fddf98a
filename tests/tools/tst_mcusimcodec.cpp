// The simulator's record codec and stream reader against the records of the link.

#include "codec.h"
#include "launcherstream.h"
#include "mcumessages.h"
#include "mcurecords.h"
#include "pcapng.h"
#include "pcapreplay.h"
#include "scenario.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

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

// --- The link's names, its captures, and their replay.

TEST(LinkNames, TheTableNamesEveryRecordAsTheDecoderDoes)
{
    struct Row {
        mcu::Way way;
        Bytes record;
        const char *name;
    };
    const mcu::Way in = mcu::Way::ToApp, out = mcu::Way::ToMcu;
    const Row rows[] = {
        {in, encodeShort(MSG_M2A_KEY_PRESSED, 1, 1), "MSG_M2A_KEY_PRESSED"},
        {in, encodeShort(MSG_M2A_PARAM, 47, 0), "MSG_M2A_PARAM"},
        {in, encodeShort(MSG_M2A_HEARTBEAT_ACK, 0, 0), "MSG_M2A_HEARTBEAT_ACK"},
        {in, encodeShort(1, 2, 3), "MSG_M2A_SHORT"},
        {in, encodeTime(100), "MSG_M2A_TIME"},
        {in, encodeUuid("AB", 1), "MSG_M2A_UUID"},
        {in, encodeLong(2, 57, bytesOf({1})), "MSG_M2A_FORWARD"},
        {in, encodeLong(2, 76, bytesOf({1})), "MSG_M2A_FORWARD"},
        {in, encodeLong(2, 77, bytesOf({1})), "MSG_M2A_LONG"},
        {in, encodeLong(3, 12, bytesOf({1})), "MSG_M2A_CAN"},
        {in, encodeLong(4, 12, bytesOf({1})), "MSG_M2A_UNKNOWN_KIND"},
        {out, encodeShort(12, 17, 2), "MSG_A2M_APP_READY"},
        {out, encodeShort(12, 5, 3), "MSG_A2M_CUR_SRC"},
        {out, encodeShort(12, 77, 0), "MSG_A2M_SHORT"},
        {out, encodeShort(13, 17, 2), "MSG_A2M_SHORT"},
        {out, longRecord(2, 205, bytesOf({16, 0, 0, 0x0D})), "MSG_A2M_VERSION_INFO"},
        {out, longRecord(2, 201, bytesOf({1, 7})), "MSG_A2M_KEY_STUDY_LONG"},
        {out, longRecord(2, 300, bytesOf({1})), "MSG_A2M_LONG"},
        {out, longRecord(3, 195, bytesOf({1})), "MSG_A2M_CAN"},
    };
    for (const Row &r : rows) {
        const mcu::MessageName *m = mcu::messageName(r.way, r.record.data(), r.record.size());
        ASSERT_NE(m, nullptr) << r.name;
        EXPECT_STREQ(m->name, r.name);
        const Decoded d = r.way == in ? decodeToLauncher(r.record) : decodeFromLauncher(r.record);
        EXPECT_EQ(d.name, m->simName) << r.name;
    }
    EXPECT_EQ(mcu::messageName(in, encodeShort(1, 2, 3).data(), 11), nullptr);
}

// The dissector's copy of the table is what the table makes of itself.
TEST(LinkNames, TheDissectorCarriesTheTable)
{
    std::ifstream in(std::string(LAUNCHER_SOURCE_DIR) + "/tools/mcusim/wireshark/mcu.lua");
    std::stringstream text;
    text << in.rdbuf();
    const std::string lua = text.str();
    const std::string begin = "-- generated by mcusim --dissector-table: begin\n";
    const std::string end = "-- generated by mcusim --dissector-table: end\n";
    const size_t from = lua.find(begin), to = lua.find(end);
    ASSERT_NE(from, std::string::npos);
    ASSERT_NE(to, std::string::npos);
    EXPECT_EQ(lua.substr(from + begin.size(), to - from - begin.size()), dissectorTable())
        << "refresh the block in mcu.lua with: mcusim --dissector-table";
}

class Capture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/mcucapture.XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        m_dir = dir;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override { std::system(("rm -rf " + m_dir).c_str()); }
    static std::string read(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string m_dir;
};

TEST_F(Capture, AFileOverItsLimitMovesAsideWholeAndReadsBack)
{
    const std::string path = m_dir + "/link.pcapng";
    pcapng::Writer w;
    ASSERT_TRUE(w.open(path, "test", pcapng::kLauncherSide, 550));
    const Bytes ready = encodeShort(12, 17, 2), clock = longRecord(2, 195, bytesOf({4, 1, 2, 3, 4}));
    ASSERT_TRUE(w.write(1000001, pcapng::Direction::Outbound, 1, ready.data(), ready.size()));
    ASSERT_TRUE(w.write(1000002, pcapng::Direction::Outbound, 1, clock.data(), clock.size()));
    EXPECT_EQ(w.rotations(), 0u);
    // The third does not fit: the file moves to .1 and the record opens a new one.
    ASSERT_TRUE(w.write(2000003, pcapng::Direction::Inbound, 2, ready.data(), ready.size()));
    EXPECT_EQ(w.rotations(), 1u);
    w.close();

    std::vector<pcapng::Packet> older, newer;
    std::string why;
    ASSERT_TRUE(pcapng::read(read(path + ".1"), &older, &why)) << why;
    ASSERT_TRUE(pcapng::read(read(path), &newer, &why)) << why;
    ASSERT_EQ(older.size(), 2u);
    ASSERT_EQ(newer.size(), 1u);
    EXPECT_EQ(older[1].data, clock);
    EXPECT_EQ(older[1].usec, 1000002u);
    EXPECT_EQ(older[1].dir, pcapng::Direction::Outbound);
    EXPECT_EQ(older[1].connection, 1u);
    EXPECT_EQ(newer[0].interfaceName, pcapng::kLauncherSide);
    EXPECT_EQ(newer[0].dir, pcapng::Direction::Inbound);
    EXPECT_EQ(newer[0].connection, 2u);
    EXPECT_LE(read(path + ".1").size(), 550u);

    // Cut short: what came before the cut is kept, and the cut is said.
    std::vector<pcapng::Packet> cut;
    const std::string bytes = read(path + ".1");
    EXPECT_FALSE(pcapng::read(bytes.substr(0, bytes.size() - 3), &cut, &why));
    EXPECT_EQ(cut.size(), 1u);
}

TEST_F(Capture, TheLauncherSideReplaysAsTheServiceSentItAndExpectsOnlyItsAnswers)
{
    const std::string path = m_dir + "/car.pcapng";
    pcapng::Writer w;
    ASSERT_TRUE(w.open(path, "test", pcapng::kLauncherSide));
    auto put = [&](uint64_t ms, pcapng::Direction d, unsigned conn, const Bytes &b) {
        ASSERT_TRUE(w.write(1700000000000000u + ms * 1000, d, conn, b.data(), b.size()));
    };
    const auto sent = pcapng::Direction::Outbound, got = pcapng::Direction::Inbound;
    put(0, sent, 1, encodeShort(12, 17, 2));
    put(10, got, 1, encodeShort(MSG_M2A_KEY_PRESSED, 3, 1));
    put(500, sent, 1, encodeShort(12, 5, 3)); // the framework's: not the launcher's answer
    put(510, sent, 1, encodeShort(12, 190, 0));
    put(900, sent, 2, encodeShort(12, 17, 2));
    w.close();

    std::string scenario, why;
    ASSERT_TRUE(scenarioFromPcapng(read(path), false, &scenario, &why)) << why;
    Scenario sc = parseScenario(scenario);
    ASSERT_TRUE(sc.ok()) << sc.errors.front() << "\n" << scenario;
    std::vector<std::string> lines;
    std::istringstream is(scenario);
    for (std::string l; std::getline(is, l);)
        if (!l.empty() && l[0] != '#')
            lines.push_back(l.substr(0, l.find("  #")));
    const std::vector<std::string> want = {
        "wait-connect",
        "expect app-ready p2=2 within 5s",
        "hex 01 00 00 00 16 33 00 00 03 00 00 00 01 00 00 00",
        "sleep 890ms",
        "disconnect",
        "wait-connect",
        "expect app-ready p2=2 within 5s",
    };
    EXPECT_EQ(lines, want) << scenario;

    ASSERT_TRUE(scenarioFromPcapng(read(path), true, &scenario, &why));
    EXPECT_EQ(scenario.find("sleep"), std::string::npos) << "--fast keeps no pauses";

    // A capture of some other link is refused, saying why.
    ASSERT_TRUE(w.open(path, "test", "eth0"));
    put(0, sent, 1, encodeShort(12, 17, 2));
    w.close();
    EXPECT_FALSE(scenarioFromPcapng(read(path), false, &scenario, &why));
    EXPECT_NE(why.find("eth0"), std::string::npos);
}

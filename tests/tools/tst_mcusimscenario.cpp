// The scenario language: what each line sends, what an expect line accepts, and
// the errors a bad file gets before anything is sent.

#include "capture.h"
#include "codec.h"
#include "scenario.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sstream>

using namespace mcusim;

namespace {

Command one(const std::string &line)
{
    Command c;
    bool isCommand = false;
    std::string error;
    EXPECT_TRUE(parseLine(line, 1, ParseOptions(), &c, &isCommand, &error)) << line << ": " << error;
    EXPECT_TRUE(isCommand) << line;
    return c;
}

std::string errorOf(const std::string &line)
{
    Command c;
    bool isCommand = false;
    std::string error;
    EXPECT_FALSE(parseLine(line, 1, ParseOptions(), &c, &isCommand, &error)) << line;
    return error;
}

Decoded rec(const Bytes &b) { return decodeFromLauncher(b); }

Bytes versionReport(const std::string &customer, const std::string &sdk, const std::string &date)
{
    Bytes b(264, 0);
    b[0] = 2;
    b[4] = 205;
    size_t at = 8;
    b[at++] = static_cast<unsigned char>(customer.size() + sdk.size() + 16);
    b[at++] = static_cast<unsigned char>(customer.size());
    for (char ch : customer)
        b[at++] = static_cast<unsigned char>(ch);
    b[at++] = static_cast<unsigned char>(sdk.size());
    for (char ch : sdk)
        b[at++] = static_cast<unsigned char>(ch);
    b[at++] = 0x0D;
    for (size_t i = 0; i < 13 && i < date.size(); ++i)
        b[at + i] = static_cast<unsigned char>(date[i]);
    return b;
}

Bytes clockEcho(uint32_t t)
{
    Bytes b(264, 0);
    b[0] = 2;
    b[4] = 195;
    b[8] = 4;
    b[9] = static_cast<unsigned char>(t >> 24);
    b[10] = static_cast<unsigned char>(t >> 16);
    b[11] = static_cast<unsigned char>(t >> 8);
    b[12] = static_cast<unsigned char>(t);
    return b;
}

class Scenarios : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

} // namespace

TEST_F(Scenarios, SendLinesBuildTheirRecords)
{
    EXPECT_EQ(one("time 2024-05-01 12:00:00").bytes, encodeTime(1714564800));
    EXPECT_EQ(one("time 2024-05-01").bytes, encodeTime(1714521600));
    EXPECT_EQ(one("time 15552000").bytes, encodeTime(15552000));
    EXPECT_EQ(one("time 0x80000000").bytes, encodeTime(0x80000000u));
    EXPECT_EQ(one("time -1").bytes, encodeTime(0xffffffffu));
    EXPECT_EQ(one("rds-time 13:05").bytes, encodeRdsTime(13, 5));
    EXPECT_EQ(one("mcu-version MCU V2.0 (b7)").bytes, encodeMcuVersion("MCU V2.0 (b7)"));
    EXPECT_EQ(one("mcu-version \"two  spaces\"").bytes, encodeMcuVersion("two  spaces"));
    EXPECT_EQ(one("mcu-version").bytes, encodeMcuVersion(""));
    EXPECT_EQ(one("uuid AB 12345").bytes, encodeUuid("AB", 12345));
    EXPECT_EQ(one("uuid 4294967295").bytes, encodeUuid("", 4294967295u));
    EXPECT_EQ(one("mcu-type 65535").bytes, encodeShort(13144, 65535, 0));
    EXPECT_EQ(one("version-query").bytes, encodeShort(13080, 0, 0));
    EXPECT_EQ(one("key 1 2").bytes, encodeShort(13078, 1, 2));
    EXPECT_EQ(one("eject").bytes, encodeShort(529, 47, 0));
    EXPECT_EQ(one("param 7").bytes, encodeShort(529, 13, 7));
    EXPECT_EQ(one("heartbeat-ack").bytes, encodeShort(28929, 0, 0));
    EXPECT_EQ(one("short 1 2 3").bytes, encodeShort(1, 2, 3));
    EXPECT_EQ(one("short 0x10 0 4294967295").bytes, encodeShort(16, 0, 0xffffffffu));

    Command ks = one("key-study 11 22 33 44 55 66 01 02 03 04 05 06 07 08 09 0A 0B 0C");
    EXPECT_EQ(hexString(ks.bytes), "02 00 00 00 2f 00 00 00 1e 00 00 00 11 22 33 44 55 66 01 02 03 "
                                   "04 05 06 07 08 09 0a 0b 0c");
    EXPECT_EQ(hexString(one("forward 57 01 0x02").bytes), "02 00 00 00 39 00 00 00 0e 00 00 00 01 02");
    EXPECT_EQ(hexString(one("sim aa").bytes), "02 00 00 00 53 00 00 00 0d 00 00 00 aa");
    EXPECT_EQ(hexString(one("mcm \"hi\"").bytes), "02 00 00 00 54 00 00 00 0e 00 00 00 68 69");
    EXPECT_EQ(hexString(one("can 9 01 02").bytes), "03 00 00 00 09 00 00 00 0e 00 00 00 01 02");
    EXPECT_EQ(hexString(one("long 4 7 ff").bytes), "04 00 00 00 07 00 00 00 0d 00 00 00 ff");
    EXPECT_EQ(hexString(one("long 2 57 len 0 01").bytes), "02 00 00 00 39 00 00 00 00 00 00 00 01");
    EXPECT_EQ(one("long 2 57 len 300").bytes.size(), 300u);
    EXPECT_EQ(hexString(one("hex 01 0x02 ff \"A\"").bytes), "01 02 ff 41");
}

TEST_F(Scenarios, SplitAndTrickleCutTheRecordIntoWrites)
{
    Command s = one("split 3,10 pause 5ms key 1 2");
    EXPECT_EQ(s.bytes, encodeShort(13078, 1, 2));
    EXPECT_EQ(s.cuts, (std::vector<size_t>{3, 10}));
    EXPECT_EQ(s.pauseMs, 5);
    Command t = one("trickle version-query");
    EXPECT_EQ(t.cuts.size(), 15u);
    EXPECT_EQ(t.cuts.front(), 1u);
    EXPECT_EQ(t.cuts.back(), 15u);

    EXPECT_NE(errorOf("split 16 key 1 2").find("inside the 16-byte record"), std::string::npos);
    EXPECT_NE(errorOf("split 5,3 key 1 2").find("must rise"), std::string::npos);
    EXPECT_NE(errorOf("split 0 key 1 2").find("from 1"), std::string::npos);
    EXPECT_NE(errorOf("split 4 expect app-ready").find("unknown command 'expect'"), std::string::npos);
    EXPECT_NE(errorOf("trickle").find("needs a command"), std::string::npos);
}

TEST_F(Scenarios, BadArgumentsAreRefusedWithAReason)
{
    EXPECT_NE(errorOf("time 2021-02-30").find("not a date"), std::string::npos);
    EXPECT_NE(errorOf("time 4294967296").find("not a date"), std::string::npos);
    EXPECT_NE(errorOf("rds-time 13").find("H:M"), std::string::npos);
    EXPECT_NE(errorOf("uuid ABC 1").find("at most 2"), std::string::npos);
    EXPECT_NE(errorOf("key 1").find("usage: key P1 P2"), std::string::npos);
    EXPECT_NE(errorOf("key 1 -2").find("p2 is not a number"), std::string::npos);
    EXPECT_NE(errorOf("key-study 01 02").find("exactly 18"), std::string::npos);
    EXPECT_NE(errorOf("forward 58 01").find("57 and 64..76"), std::string::npos);
    EXPECT_NE(errorOf("hex 1ff").find("not a hex byte"), std::string::npos);
    EXPECT_NE(errorOf("hex").find("usage"), std::string::npos);
    std::string many = "can 1";
    for (int i = 0; i < 257; ++i)
        many += " 00";
    EXPECT_NE(errorOf(many).find("longer than 256"), std::string::npos);
    EXPECT_NE(errorOf("mcu-version " + std::string(255, 'x')).find("longer than 254"), std::string::npos);
    EXPECT_NE(errorOf("sleep 5").find("usage: sleep"), std::string::npos);
    EXPECT_NE(errorOf("sleep 5 ms").find("usage: sleep"), std::string::npos);
    EXPECT_NE(errorOf("disconnect now").find("takes no arguments"), std::string::npos);
    EXPECT_NE(errorOf("hex \"open").find("unterminated quote"), std::string::npos);
    EXPECT_NE(errorOf("lunch").find("unknown command 'lunch'"), std::string::npos);
}

TEST_F(Scenarios, ExpectLinesNameARecordAndItsFields)
{
    Command e = one("expect version-report customer=\"C 1\" sdk=S within 3s");
    EXPECT_EQ(e.op, Op::Expect);
    EXPECT_EQ(e.timeoutMs, 3000);
    ASSERT_EQ(e.matches.size(), 2u);
    EXPECT_EQ(e.matches[0].key, "customer");
    EXPECT_EQ(e.matches[0].value, "C 1");

    Command p = one("expect source 3 1");
    EXPECT_EQ(p.timeoutMs, ParseOptions().expectTimeoutMs);
    ASSERT_EQ(p.matches.size(), 2u);
    EXPECT_EQ(p.matches[1].key, "a");

    EXPECT_TRUE(one("expect next app-ready").next);
    Command none = one("expect no time-clock");
    EXPECT_EQ(none.op, Op::ExpectNone);
    EXPECT_EQ(none.timeoutMs, ParseOptions().expectNoneTimeoutMs);
    EXPECT_EQ(one("expect bytes 01 00").exact, (Bytes{1, 0}));
    EXPECT_EQ(one("wait-connect within 250ms").timeoutMs, 250);
    EXPECT_EQ(one("restart 1.5s").timeoutMs, 1500);
    EXPECT_EQ(one("wait-disconnect within 2s").op, Op::WaitDisconnect);

    EXPECT_NE(errorOf("expect app-redy").find("unknown record name 'app-redy'"), std::string::npos);
    EXPECT_NE(errorOf("expect source colour=1").find("has no field 'colour' (fields: id, a)"),
              std::string::npos);
    EXPECT_NE(errorOf("expect source 1 2 3").find("too many values"), std::string::npos);
    EXPECT_NE(errorOf("expect heartbeat within").find("needs a duration"), std::string::npos);
    EXPECT_NE(errorOf("expect heartbeat within soon").find("not a duration"), std::string::npos);
    EXPECT_NE(errorOf("expect").find("usage"), std::string::npos);
}

TEST_F(Scenarios, ExpectationsMatchOnFieldValues)
{
    const Bytes report = versionReport("C1", "S-2", "202405011200");
    EXPECT_TRUE(matches(one("expect version-report customer=C1 sdk=S-2"), rec(report), report));
    EXPECT_FALSE(matches(one("expect version-report customer=C2"), rec(report), report));
    EXPECT_TRUE(matches(one("expect version-report date=2024*"), rec(report), report));
    EXPECT_FALSE(matches(one("expect app-ready"), rec(report), report));
    EXPECT_TRUE(matches(one("expect any"), rec(report), report));

    // Dates match by their leading parts, never by a bare prefix of a part.
    const Bytes echo = clockEcho(1609459200 + 13 * 3600 + 5 * 60);
    EXPECT_TRUE(matches(one("expect time-clock 2021-01-01"), rec(echo), echo));
    EXPECT_TRUE(matches(one("expect time-clock \"2021-01-01 13:05\""), rec(echo), echo));
    EXPECT_FALSE(matches(one("expect time-clock \"2021-01-01 13:0\""), rec(echo), echo));
    EXPECT_FALSE(matches(one("expect time-clock 2021-01-02"), rec(echo), echo));
    EXPECT_TRUE(matches(one("expect time-clock t=1609506300"), rec(echo), echo));
    EXPECT_TRUE(matches(one("expect time-clock date=*13:05:00"), rec(echo), echo));
    EXPECT_FALSE(matches(one("expect time-clock date=*13:06:00"), rec(echo), echo));

    // Numbers compare as numbers.
    const Bytes src = encodeShort(12, 5, 3 | (1u << 16));
    EXPECT_TRUE(matches(one("expect source id=0x3 a=1"), rec(src), src));
    EXPECT_FALSE(matches(one("expect source id=3 a=2"), rec(src), src));
}

TEST_F(Scenarios, ByteExpectationsWantZeroAfterTheGivenBytes)
{
    const Bytes echo = clockEcho(0x01020304);
    const Command e = one("expect bytes 02 00 00 00 C3 00 00 00 04 01 02 03 04");
    EXPECT_TRUE(matches(e, rec(echo), echo));
    Bytes dirty = echo;
    dirty[263] = 1;
    EXPECT_FALSE(matches(e, rec(dirty), dirty));
    const Bytes ready = encodeShort(12, 17, 2);
    EXPECT_FALSE(matches(e, rec(ready), ready)) << "a shorter record cannot match";
    EXPECT_TRUE(matches(one("expect bytes 01 00 00 00 0C 00 00 00 11 00 00 00 02 00 00 00"), rec(ready), ready));
}

TEST_F(Scenarios, AWholeFileReportsEveryBadLineWithItsNumber)
{
    const std::string text = "# start-up\n"
                             "wait-connect\n"
                             "\n"
                             "expect app-ready   # trailing comment\n"
                             "tim 2024-05-01\n"
                             "key 1 2 # fine\n"
                             "expect source colour=1\n";
    Scenario s = parseScenario(text);
    ASSERT_EQ(s.errors.size(), 2u);
    EXPECT_EQ(s.errors[0], "line 5: unknown command 'tim'");
    EXPECT_EQ(s.errors[1].rfind("line 7: 'source' has no field 'colour'", 0), 0u) << s.errors[1];

    Scenario good = parseScenario("wait-connect\nexpect app-ready # x\nkey 1 2 # y\n");
    ASSERT_TRUE(good.ok());
    ASSERT_EQ(good.commands.size(), 3u);
    EXPECT_EQ(good.commands[1].line, 2);
    EXPECT_EQ(good.commands[1].text, "expect app-ready");
    EXPECT_EQ(good.commands[2].text, "key 1 2");
}

TEST_F(Scenarios, ACaptureReplaysAsAScenario)
{
    std::stringstream out;
    CaptureWriter cap(out);
    cap.header("test capture");
    cap.connected({0, "12:00:00.000"});
    const Bytes ready = encodeShort(12, 17, 2);
    cap.received({5, "12:00:00.005"}, rec(ready));
    cap.sent({500, "12:00:00.500"}, "time 2024-05-01 12:00:00", decodeToLauncher(encodeTime(1714564800)));
    cap.received({900, "12:00:00.900"}, rec(encodeShort(12, 190, 0)));
    const Bytes report = versionReport("C \"1\"", "S", "2024");
    cap.received({950, "12:00:00.950"}, rec(report));
    const Bytes echo = clockEcho(1609459200);
    cap.received({960, "12:00:00.960"}, rec(echo));
    cap.action({1500, "12:00:01.500"}, "restart 200ms");
    // A split write's own pauses are not paid twice on replay.
    cap.sent({2000, "12:00:02.000"}, "split 4 pause 100ms key 1 2", decodeToLauncher(encodeShort(13078, 1, 2)), 100);
    cap.sent({2110, "12:00:02.110"}, "key 1 3", decodeToLauncher(encodeShort(13078, 1, 3)));

    Scenario replay = parseScenario(out.str());
    ASSERT_TRUE(replay.ok()) << replay.errors.front() << "\n" << out.str();
    std::vector<Op> ops;
    for (const Command &c : replay.commands)
        ops.push_back(c.op);
    // The heartbeat stays a comment; the pace survives as sleep lines.
    EXPECT_EQ(ops, (std::vector<Op>{Op::WaitConnect, Op::Expect, Op::Sleep, Op::Send, Op::Expect,
                                    Op::Expect, Op::Sleep, Op::Restart, Op::Sleep, Op::Send,
                                    Op::Send}))
        << out.str();
    EXPECT_EQ(replay.commands[2].timeoutMs, 495);
    EXPECT_EQ(replay.commands[3].bytes, encodeTime(1714564800));
    // Every expect line accepts the record it was written from, the clock echo's
    // date (which changes from run to run) left out.
    EXPECT_TRUE(matches(replay.commands[1], rec(ready), ready));
    EXPECT_TRUE(matches(replay.commands[4], rec(report), report));
    EXPECT_TRUE(matches(replay.commands[5], rec(echo), echo));
    EXPECT_TRUE(matches(replay.commands[5], rec(clockEcho(1700000000)), clockEcho(1700000000)));
    EXPECT_NE(out.str().find("# 12:00:00.900 <- heartbeat p2=0"), std::string::npos);
}

TEST(Durations, ReadWithTheirUnit)
{
    int ms = -1;
    EXPECT_TRUE(parseDuration("3s", &ms));
    EXPECT_EQ(ms, 3000);
    EXPECT_TRUE(parseDuration("250ms", &ms));
    EXPECT_EQ(ms, 250);
    EXPECT_TRUE(parseDuration("0.5s", &ms));
    EXPECT_EQ(ms, 500);
    EXPECT_FALSE(parseDuration("5", &ms));
    EXPECT_FALSE(parseDuration("-1s", &ms));
    EXPECT_FALSE(parseDuration("s", &ms));
    EXPECT_FALSE(parseDuration("1e9s", &ms));
    EXPECT_FALSE(parseDuration("999999999s", &ms));
}

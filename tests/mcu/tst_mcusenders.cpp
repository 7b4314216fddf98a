// Outgoing MCU commands: the exact bytes each sender writes, its guards, and
// the source bookkeeping of SendCurSrcToMcu.

#include "linkharness.h"

#include "appdata.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <functional>

using tamoappframework::MainAppProtocolComm;
using namespace linkharness;

namespace {

class Senders : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { start(); }
    static void TearDownTestSuite() { stop(); }
    void SetUp() override
    {
        ASSERT_TRUE(harness().link->transport().isConnected());
        harness().drain();
        AppData::setAvailable(true);
    }
    void TearDown() override { AppData::setAvailable(true); }

    MainAppProtocolComm *link() { return harness().link; }
    QByteArray sent() { return harness().drain(); }
};

struct SendRow {
    const char *name;
    std::function<void(MainAppProtocolComm *)> send;
    QByteArray expected; // empty: nothing may be sent
};

unsigned char s_bytes255[255];

std::vector<SendRow> sendRows()
{
    for (int i = 0; i < 255; ++i)
        s_bytes255[i] = static_cast<unsigned char>(i + 1);
    QByteArray first255(reinterpret_cast<const char *>(s_bytes255), 255);

    return {
        {"EjectDisc", [](MainAppProtocolComm *l) { l->EjectDisc(); }, shortRecord(12, 140, 0)},
        {"Heartbeat", [](MainAppProtocolComm *l) { l->SendHeartbeattoMCU(); }, shortRecord(12, 190, 0)},
        {"DataToMcu", [](MainAppProtocolComm *l) { l->SendDataToMcu(0xA1B2C3D4u, 7, 0xFFFFFFFFu); },
         shortRecord(0xA1B2C3D4u, 7, 0xFFFFFFFFu)},
        {"KeyStudyShort",
         [](MainAppProtocolComm *l) { l->SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_SHORT, 7); },
         shortRecord(12, 189, 7)},
        {"KeyStudyLong",
         [](MainAppProtocolComm *l) { l->SendKeyStudyCmdToMcu(STEER_KEY_STUDY_CMD_LONG, 7); },
         longRecord(2, 201, {1, 7})},
        {"KeyStudyUnknownCommand",
         [](MainAppProtocolComm *l) {
             l->SendKeyStudyCmdToMcu(static_cast<STEER_KEY_STUDY_CMD_TYPE>(1 + 1), 7);
         },
         QByteArray()},
        {"KeyColorLowBytesOnly", [](MainAppProtocolComm *l) { l->SendKeyColorToMcu(511, 128, 7); },
         longRecord(2, 19, {4, 1, 0xFF, 0x80, 0x07})},
        {"TimeClockBigEndian", [](MainAppProtocolComm *l) { l->SendTimeClockToMcu(195, 0x01020304u); },
         longRecord(2, 195, {4, 1, 2, 3, 4})},
        {"TimeClockIgnoresCommand", [](MainAppProtocolComm *l) { l->SendTimeClockToMcu(0, 0xFFFFFFFEu); },
         longRecord(2, 195, {4, 0xFF, 0xFF, 0xFF, 0xFE})},
        {"MediaPlayInfo", [](MainAppProtocolComm *l) { l->SendMediaPlayInfoToMcu(s_bytes255, 3); },
         longRecord(2, 196, {1, 2, 3})},
        {"LongDataToMcu", [](MainAppProtocolComm *l) { l->SendLongDataToMcu(0x12345678u, s_bytes255, 1); },
         longRecord(2, 0x12345678u, {1})},
        {"LongDataToCanFull", [](MainAppProtocolComm *l) { l->SendLongDataToCAN(9, s_bytes255, 255); },
         longRecord(3, 9, first255)},
        {"LongDataToCanTooLong", [](MainAppProtocolComm *l) { l->SendLongDataToCAN(9, s_bytes255, 256); },
         QByteArray()},
        {"LongDataToCanEmpty", [](MainAppProtocolComm *l) { l->SendLongDataToCAN(9, s_bytes255, 0); },
         QByteArray()},
        {"LongDataToMcuNegative", [](MainAppProtocolComm *l) { l->SendLongDataToMcu(9, s_bytes255, -1); },
         QByteArray()},
        {"MediaPlayInfoNullSource", [](MainAppProtocolComm *l) { l->SendMediaPlayInfoToMcu(nullptr, 4); },
         QByteArray()},
        {"CurSrcLowAndHighHalves", [](MainAppProtocolComm *l) { l->SendCurSrcToMcu(3, 1); },
         QByteArray::fromHex("01000000" "0c000000" "05000000" "03000100")},
        {"CurSrcHighestId", [](MainAppProtocolComm *l) { l->SendCurSrcToMcu(65534, 0); },
         shortRecord(12, 5, 65534)},
        {"CurSrcShiftsA", [](MainAppProtocolComm *l) { l->SendCurSrcToMcu(3, 2); }, shortRecord(12, 5, 131075)},
        {"CurSrcNegativeValues", [](MainAppProtocolComm *l) { l->SendCurSrcToMcu(-1, -1); },
         shortRecord(12, 5, 0xFFFFFFFFu)},
        {"CurSrcIdTooLarge", [](MainAppProtocolComm *l) { l->SendCurSrcToMcu(65535, 0); }, QByteArray()},
        {"CurSrcIdFarTooLarge", [](MainAppProtocolComm *l) { l->SendCurSrcToMcu(70000, 1); }, QByteArray()},
    };
}

TEST_F(Senders, WriteExactRecordsOrNothing)
{
    for (const SendRow &row : sendRows()) {
        SCOPED_TRACE(row.name);
        row.send(link());
        const QByteArray bytes = sent();
        EXPECT_EQ(testsupport::hex(bytes), testsupport::hex(row.expected));
    }
}

TEST_F(Senders, SourceReportPrintsOnlyWhenItSends)
{
    EXPECT_EQ(captureStdout([&] { link()->SendCurSrcToMcu(4, 0); }), "current src id:4\n");
    EXPECT_EQ(captureStdout([&] { link()->SendCurSrcToMcu(65535, 0); }), "");
    sent();

    // An id that is refused touches no bookkeeping either.
    const quint64 mark = journalMark();
    link()->SendCurSrcToMcu(70000, 0);
    EXPECT_TRUE(callsSince(mark, QStringLiteral("AppData::")).isEmpty());
    EXPECT_TRUE(callsSince(mark, QStringLiteral("BaseControl::")).isEmpty());
}

// Finds ids of each sort among the component's sources.
struct SourceSorts {
    int directAudio = -1;
    int plainAudio = -1;
    int notAudio = -1;
};

SourceSorts sourceSorts()
{
    SourceSorts s;
    AppData *data = AppData::GetInstance();
    for (int id = SOURCE_ID_NONE; id <= SOURCE_ID_DAB; ++id) {
        const auto source = static_cast<tag_SOURCE_ID_T>(id);
        if (!data->isAudioSource(source)) {
            if (s.notAudio < 0)
                s.notAudio = id;
        } else if (data->isDirectSwitchAudioSrc(source)) {
            if (s.directAudio < 0)
                s.directAudio = id;
        } else if (s.plainAudio < 0) {
            s.plainAudio = id;
        }
    }
    return s;
}

class SourceBookkeeping : public Senders
{
protected:
    void SetUp() override
    {
        Senders::SetUp();
        sorts = sourceSorts();
        data = AppData::GetInstance();
        data->setCurSource(previous);
        data->setCurAudioSource(previousAudio);
        data->setIsFirstRun(false);
        mark = journalMark();
    }
    QVector<Call> mediaSwitches() { return callsSince(mark, QStringLiteral("BaseControl::changeMediaSrcSlot")); }

    SourceSorts sorts;
    AppData *data = nullptr;
    const int previous = SOURCE_ID_SETTINGS;
    const int previousAudio = SOURCE_ID_RADIO;
    quint64 mark = 0;
};

TEST_F(SourceBookkeeping, DirectSwitchAudioSourceSwitchesMedia)
{
    ASSERT_GE(sorts.directAudio, 0) << "the component has no direct-switch audio source";
    const int id = sorts.directAudio;
    link()->SendCurSrcToMcu(id, 0);

    EXPECT_EQ(data->lastSource(), previous);
    EXPECT_EQ(data->curSource(), id);
    EXPECT_TRUE(data->isFirstRun());
    EXPECT_EQ(data->curAudioSource(), id);

    const QVector<Call> switches = mediaSwitches();
    ASSERT_EQ(switches.size(), 1);
    EXPECT_TRUE(switches[0].text.contains(QStringLiteral("(%1, %2)").arg(previousAudio).arg(id)))
        << qPrintable(switches[0].text);
    // The previous audio source is handed over before it is replaced.
    const QVector<Call> audioSets = callsSince(mark, QStringLiteral("AppData::setCurAudioSource"));
    ASSERT_EQ(audioSets.size(), 1);
    EXPECT_LT(switches[0].seq, audioSets[0].seq);
    EXPECT_EQ(testsupport::hex(sent()), testsupport::hex(shortRecord(12, 5, uint32_t(id))));
}

TEST_F(SourceBookkeeping, PlainAudioSourceOnlyMarksFirstRun)
{
    ASSERT_GE(sorts.plainAudio, 0) << "the component has no audio source without direct switch";
    const int id = sorts.plainAudio;
    link()->SendCurSrcToMcu(id, 0);

    EXPECT_EQ(data->lastSource(), previous);
    EXPECT_EQ(data->curSource(), id);
    EXPECT_TRUE(data->isFirstRun());
    EXPECT_EQ(data->curAudioSource(), previousAudio);
    EXPECT_TRUE(mediaSwitches().isEmpty());
    EXPECT_EQ(testsupport::hex(sent()), testsupport::hex(shortRecord(12, 5, uint32_t(id))));
}

TEST_F(SourceBookkeeping, OtherSourceTouchesNoAudioState)
{
    ASSERT_GE(sorts.notAudio, 0);
    const int id = sorts.notAudio;
    link()->SendCurSrcToMcu(id, 1);

    EXPECT_EQ(data->lastSource(), previous);
    EXPECT_EQ(data->curSource(), id);
    EXPECT_FALSE(data->isFirstRun());
    EXPECT_EQ(data->curAudioSource(), previousAudio);
    EXPECT_TRUE(mediaSwitches().isEmpty());
    EXPECT_EQ(testsupport::hex(sent()), testsupport::hex(shortRecord(12, 5, 0x10000u | uint32_t(id))));
}

TEST_F(SourceBookkeeping, WithoutSharedDataStillPrintsAndSends)
{
    AppData::setAvailable(false);
    ASSERT_EQ(AppData::GetInstance(), nullptr);
    const int id = sorts.directAudio >= 0 ? sorts.directAudio : 2;
    EXPECT_EQ(captureStdout([&] { link()->SendCurSrcToMcu(id, 2); }),
              "current src id:" + std::to_string(id) + "\n");
    EXPECT_EQ(testsupport::hex(sent()), testsupport::hex(shortRecord(12, 5, 0x20000u | uint32_t(id))));
    EXPECT_TRUE(mediaSwitches().isEmpty());
    AppData::setAvailable(true);
    EXPECT_EQ(data->curSource(), previous);
}

} // namespace

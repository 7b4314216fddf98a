// Incoming dispatch and the launcher's own handlers: routing by kind and
// message number, the answers sent back, the clock, version and identity
// handlers, and the thread everything runs on.

#include "linkharness.h"

#include "appdata.h"
#include "basecontrol.h"
#include "datadefault.h"
#include "datasavecontrol.h"
#include "platformcontrol.h"
#include "setupstridconst.h"
#include "testsupport.h"

#include <QDate>
#include <QDateTime>
#include <QTextCodec>
#include <QThread>
#include <QTime>

#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <unistd.h>

using namespace linkharness;

namespace {

// Calls into the components that have an effect (accessors left out).
QStringList effectsSince(quint64 mark)
{
    QStringList out;
    for (const Call &c : callsSince(mark)) {
        if (c.text.contains(QLatin1String("::GetInstance(")) || c.text.contains(QLatin1String("::getInstance("))
            || c.text.contains(QLatin1String("::self(")))
            continue;
        out << c.text;
    }
    return out;
}

std::string joined(const QStringList &list) { return list.join(QLatin1String(" | ")).toStdString(); }

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

class Dispatch : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        qputenv("XDG_CONFIG_HOME", testsupport::scratchDir("dispatch-config").toLocal8Bit());
        DataSaveControl::initQSettingPath();
        DataDefault::initDataDefault();
        start();
    }
    static void TearDownTestSuite() { stop(); }

    void SetUp() override
    {
        ASSERT_TRUE(harness().link->transport().isConnected());
        harness().drain();
        harness().clock.clear();
        AppData::setAvailable(true);
        PlatformControl::setAvailable(true);
        mark = journalMark();
    }
    void TearDown() override
    {
        AppData::setAvailable(true);
        PlatformControl::setAvailable(true);
    }

    // Runs the dispatcher on this thread; returns what it printed.
    std::string dispatch(QByteArray record)
    {
        return captureStdout([&] {
            harness().link->resolvePacket(reinterpret_cast<unsigned char *>(record.data()));
        });
    }
    std::string dispatchShort(uint32_t msg, uint32_t p1, uint32_t p2)
    {
        // Exactly 16 bytes: the dispatcher must not read beyond them (ASan).
        return dispatch(shortRecord(msg, p1, p2));
    }
    QByteArray sent() { return harness().drain(); }
    QStringList effects() const { return effectsSince(mark); }
    static std::string normalLine(uint32_t msg, uint32_t p1, uint32_t p2)
    {
        return "Main app normal msg:" + std::to_string(msg) + ", p1:" + std::to_string(p1)
               + ", p2:" + std::to_string(p2) + ".\n";
    }

    quint64 mark = 0;
};

// --- Short records ---

struct ShortRow {
    const char *name;
    uint32_t msg, p1, p2;
    QByteArray answer;      // what goes back to the MCU
    QStringList effects;    // component calls, in order
};

TEST_F(Dispatch, ShortMessagesRouteByNumber)
{
    const ShortRow rows[] = {
        {"ParamValue", 529, 13, 7, shortRecord(12, 186, 0), {"ActivityManager::receiveParamFromMcu(7)"}},
        {"ParamEject", 529, 47, 9, {}, {"BaseControl::ejectSlot()"}},
        {"ParamOther", 529, 14, 7, {}, {}},
        {"HeartbeatAck", 28929, 1, 2, {}, {}},
        {"KeyPressed", 13078, 3, 1, {}, {"BaseControl::sendMcuKeyPressedSignal(3, 1)"}},
        {"KeyPressedWideWords", 13078, 0xFFFFFFFFu, 0x80000000u, {},
         {"BaseControl::sendMcuKeyPressedSignal(-1, -2147483648)"}},
        {"Unhandled", 1, 2, 3, {}, {"ActivityManager::receiveShortMsgFromMcu(msg=1 p1=2 p2=3)"}},
        {"UnhandledZeros", 0, 0, 0, {}, {"ActivityManager::receiveShortMsgFromMcu(msg=0 p1=0 p2=0)"}},
        {"UnhandledDigitBoundaries", 10, 99, 100, {},
         {"ActivityManager::receiveShortMsgFromMcu(msg=10 p1=99 p2=100)"}},
        {"UnhandledNear529", 530, 13, 4294967295u, {},
         {"ActivityManager::receiveShortMsgFromMcu(msg=530 p1=13 p2=4294967295)"}},
    };
    for (const ShortRow &row : rows) {
        SCOPED_TRACE(row.name);
        mark = journalMark();
        EXPECT_EQ(dispatchShort(row.msg, row.p1, row.p2), normalLine(row.msg, row.p1, row.p2));
        EXPECT_EQ(testsupport::hex(sent()), testsupport::hex(row.answer));
        EXPECT_EQ(joined(effects()), joined(row.effects));
    }
}

TEST_F(Dispatch, ParamIsAcknowledgedBeforeTheFrameworkSeesIt)
{
    // At the moment the framework is called, the answer must already be on the socket.
    std::atomic<int> waitingAtCall{-1};
    const int peer = harness().peer;
    LogCapture log([&](const LogCapture::Record &r) {
        if (r.category == QLatin1String("platform")
            && r.text.startsWith(QLatin1String("ActivityManager::receiveParamFromMcu"))) {
            int waiting = -1;
            ::ioctl(peer, FIONREAD, &waiting);
            waitingAtCall = waiting;
        }
    });
    dispatchShort(529, 13, 7);
    EXPECT_EQ(waitingAtCall.load(), 16);
    EXPECT_EQ(testsupport::hex(sent()), testsupport::hex(shortRecord(12, 186, 0)));
    EXPECT_EQ(callsSince(mark, QStringLiteral("ActivityManager::receiveParamFromMcu(7)")).size(), 1);
}

// --- Long records of the MCU channel ---

TEST_F(Dispatch, LongMessagesReachTheirReceiversWhole)
{
    const QByteArray payload = bytes({0xDE, 0xAD, 0xBE, 0xEF, 0x01});
    const struct {
        uint32_t id;
        const char *receiver;
    } rows[] = {
        {57, "BaseControl::RecevieMsgFromMcu"}, {64, "BaseControl::RecevieMsgFromMcu"},
        {70, "BaseControl::RecevieMsgFromMcu"}, {76, "BaseControl::RecevieMsgFromMcu"},
        {83, "BaseControl::RecevieSIMMsgFromMcu"}, {84, "BaseControl::RecevieMCMMsgFromMcu"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.id);
        mark = journalMark();
        EXPECT_EQ(dispatch(incomingRecord(2, row.id, payload, 17)), "");
        const QString expected = QStringLiteral("%1(kind=2 id=%2 len=17 [de ad be ef 01])")
                                     .arg(QLatin1String(row.receiver))
                                     .arg(row.id);
        EXPECT_EQ(joined(effects()), expected.toStdString());
        EXPECT_TRUE(sent().isEmpty());
    }
}

TEST_F(Dispatch, UnlistedLongMessagesAreIgnored)
{
    for (uint32_t id : {0u, 1u, 11u, 13u, 46u, 48u, 56u, 58u, 63u, 77u, 81u, 85u, 211u, 213u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(id);
        mark = journalMark();
        LogCapture log;
        EXPECT_EQ(dispatch(incomingRecord(2, id, bytes({1, 2, 3, 4, 5, 6, 7, 8}))), "");
        EXPECT_EQ(joined(effects()), "");
        EXPECT_TRUE(sent().isEmpty());
        EXPECT_TRUE(log.texts().isEmpty());
        EXPECT_TRUE(harness().clock.calls().empty());
    }
}

TEST_F(Dispatch, KeyStudyRecordIsBuiltFromPayload)
{
    const QByteArray payload = bytes({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x01, 0x02, 0x03, 0x04, 0x05,
                                      0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0xFF, 0xFF});
    dispatch(incomingRecord(2, 47, payload));
    EXPECT_EQ(joined(effects()),
              "BaseControl::ReceiveKeyStudyMsgFromMcu(status=17 index=34 count=51 state=68 adc=85 "
              "value=258 min=772 max=1286 value2=1800 min2=2314 max2=2828)");

    // Values are 16 bits wide, unsigned.
    mark = journalMark();
    QByteArray high(18, char(0xFF));
    dispatch(incomingRecord(2, 47, high));
    EXPECT_EQ(joined(effects()),
              "BaseControl::ReceiveKeyStudyMsgFromMcu(status=255 index=255 count=255 state=255 adc=255 "
              "value=65535 min=65535 max=65535 value2=65535 min2=65535 max2=65535)");
}

// --- Other kinds ---

TEST_F(Dispatch, CanRecordsGoToTheFrameworkWhateverTheirId)
{
    for (uint32_t id : {0u, 12u, 57u, 212u}) {
        SCOPED_TRACE(id);
        mark = journalMark();
        EXPECT_EQ(dispatch(incomingRecord(3, id, bytes({0x0A, 0x0B}), 14)), "");
        EXPECT_EQ(joined(effects()),
                  QStringLiteral("ActivityManager::receiveCanMsgFromMcu(kind=3 id=%1 len=14 [0a 0b])")
                      .arg(id)
                      .toStdString());
        EXPECT_TRUE(sent().isEmpty());
        EXPECT_TRUE(harness().clock.calls().empty());
    }
}

TEST_F(Dispatch, OtherKindsHaveNoEffect)
{
    for (uint32_t kind : {0u, 4u, 0xFFFFFFFFu}) {
        for (uint32_t id : {12u, 57u, 13080u}) {
            SCOPED_TRACE(kind * 100000u + id);
            mark = journalMark();
            LogCapture log;
            EXPECT_EQ(dispatch(incomingRecord(kind, id, bytes({0, 0x7F, 0xFF, 0xFF, 0xFF}))), "");
            EXPECT_EQ(joined(effectsSince(mark)), "");
            EXPECT_TRUE(sent().isEmpty());
            EXPECT_TRUE(log.texts().isEmpty());
            EXPECT_TRUE(harness().clock.calls().empty());
        }
    }
}

// --- MCU clock ---

QByteArray mcuTime(uint32_t v)
{
    QByteArray payload(5, '\0');
    mcu::storeBe32(reinterpret_cast<unsigned char *>(payload.data()) + 1, v);
    return incomingRecord(2, 12, payload);
}

int secondOfDay(const QTime &t) { return t.msecsSinceStartOfDay() / 1000; }

TEST_F(Dispatch, McuClockIsTakenWhenSet)
{
    for (uint32_t v : {15552000u, 0x7FFFFFFFu}) {
        SCOPED_TRACE(v);
        harness().clock.clear();
        mark = journalMark();
        dispatch(mcuTime(v));
        const auto calls = harness().clock.calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].secs, qint64(v));
        EXPECT_TRUE(sent().isEmpty());
        EXPECT_EQ(joined(effects()), "BaseControl::killTimeResumeTimer()");
    }
}

TEST_F(Dispatch, UnsetMcuClockFallsBackTo2021AndTellsTheMcu)
{
    for (uint32_t v : {15551999u, 0u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(v);
        harness().clock.clear();
        mark = journalMark();
        const QTime before = QTime::currentTime();
        dispatch(mcuTime(v));
        const QTime after = QTime::currentTime();

        const auto calls = harness().clock.calls();
        ASSERT_EQ(calls.size(), 1u);
        const qint64 t = calls[0].secs;
        const QDateTime set = QDateTime::fromSecsSinceEpoch(t);
        EXPECT_EQ(set.date(), QDate(2021, 1, 1));
        const int s = secondOfDay(set.time()), b = secondOfDay(before), a = secondOfDay(after);
        if (b <= a)
            EXPECT_TRUE(s >= b && s <= a) << s << " not in " << b << ".." << a;
        else // midnight passed during the call
            EXPECT_TRUE(s >= b || s <= a) << s;

        QByteArray echo(5, '\0');
        echo[0] = 4;
        mcu::storeBe32(reinterpret_cast<unsigned char *>(echo.data()) + 1, uint32_t(t));
        EXPECT_EQ(testsupport::hex(sent()), testsupport::hex(longRecord(2, 195, echo)));
        EXPECT_EQ(joined(effects()), "BaseControl::killTimeResumeTimer()");
    }
}

// --- Radio-data time ---

QByteArray rdsTime(int hour, int minute) { return incomingRecord(2, 82, bytes({0, hour, minute})); }

TEST_F(Dispatch, RadioTimeIsIgnoredWhenNotEnabled)
{
    DataSaveControl::writeSettingData(SetupStrIdConst::setupSyncRdsTime, false);
    dispatch(rdsTime(13, 5));
    EXPECT_TRUE(harness().clock.calls().empty());
    EXPECT_TRUE(sent().isEmpty());
    EXPECT_TRUE(callsSince(mark, QStringLiteral("BaseControl::")).isEmpty());
    // The setting is read with the component's default and an empty group.
    const QVector<Call> reads = callsSince(mark, QStringLiteral("DataSaveControl::readSettingData"));
    ASSERT_EQ(reads.size(), 1);
    EXPECT_TRUE(reads[0].text.endsWith(QLatin1String(", QVariant(bool, false), \"\")")))
        << qPrintable(reads[0].text);
}

TEST_F(Dispatch, RadioTimeSetsTodaysTimeOfDay)
{
    DataSaveControl::writeSettingData(SetupStrIdConst::setupSyncRdsTime, true);
    const QDate before = QDate::currentDate();
    dispatch(rdsTime(13, 5));
    const QDate after = QDate::currentDate();

    const auto calls = harness().clock.calls();
    ASSERT_EQ(calls.size(), 1u);
    const qint64 t = calls[0].secs;
    const QDateTime set = QDateTime::fromSecsSinceEpoch(t);
    EXPECT_EQ(set.time(), QTime(13, 5, 0, 0));
    EXPECT_TRUE(set.date() == before || set.date() == after);

    QByteArray echo(5, '\0');
    echo[0] = 4;
    mcu::storeBe32(reinterpret_cast<unsigned char *>(echo.data()) + 1, uint32_t(t));
    EXPECT_EQ(testsupport::hex(sent()), testsupport::hex(longRecord(2, 195, echo)));
    EXPECT_TRUE(callsSince(mark, QStringLiteral("BaseControl::killTimeResumeTimer")).isEmpty());
}

TEST_F(Dispatch, ImpossibleRadioTimeChangesNothing)
{
    DataSaveControl::writeSettingData(SetupStrIdConst::setupSyncRdsTime, true);
    for (auto hm : {std::make_pair(25, 70), std::make_pair(24, 0), std::make_pair(23, 60),
                    std::make_pair(255, 255)}) {
        SCOPED_TRACE(hm.first * 1000 + hm.second);
        LogCapture log;
        dispatch(rdsTime(hm.first, hm.second));
        EXPECT_TRUE(harness().clock.calls().empty());
        EXPECT_TRUE(sent().isEmpty());
        const QStringList lines = log.texts();
        ASSERT_EQ(lines.size(), 1);
        EXPECT_TRUE(lines[0].contains(QStringLiteral("%1:%2").arg(hm.first).arg(hm.second)))
            << qPrintable(lines[0]);
    }
    // The edges of the day are times like any other.
    dispatch(rdsTime(23, 59));
    ASSERT_EQ(harness().clock.calls().size(), 1u);
    EXPECT_EQ(QDateTime::fromSecsSinceEpoch(harness().clock.calls()[0].secs).time(), QTime(23, 59));
    EXPECT_EQ(sent().size(), 264);
}

// --- MCU firmware version ---

TEST_F(Dispatch, McuVersionTextEndsAtZeroOrPayloadEnd)
{
    PlatformControl *platformControl = PlatformControl::getInstance();

    dispatch(incomingRecord(2, 25, QByteArray("\x07V1.2.3\0junk", 12)));
    EXPECT_EQ(platformControl->mcuVersion(), QStringLiteral("V1.2.3"));

    dispatch(incomingRecord(2, 25, QByteArray("\x07\0after", 8)));
    EXPECT_EQ(platformControl->mcuVersion(), QString());

    dispatch(incomingRecord(2, 25, QByteArray("\x05MCU \xC3\xBC", 7)));
    EXPECT_EQ(platformControl->mcuVersion(), QString::fromUtf8("MCU \xC3\xBC"));

    // No zero byte anywhere: the text is the 255 bytes after byte 0, nothing beyond.
    dispatch(incomingRecord(2, 25, QByteArray(256, 'A')));
    EXPECT_EQ(platformControl->mcuVersion(), QString(255, QLatin1Char('A')));
    EXPECT_TRUE(sent().isEmpty());
}

TEST_F(Dispatch, McuVersionIsDroppedWithoutPlatformInformation)
{
    PlatformControl::getInstance()->setMcuVersion(QStringLiteral("before"));
    PlatformControl::setAvailable(false);
    mark = journalMark();
    dispatch(incomingRecord(2, 25, QByteArray("\x04V9.9", 5)));
    EXPECT_TRUE(callsSince(mark, QStringLiteral("PlatformControl::setMcuVersion")).isEmpty());
    PlatformControl::setAvailable(true);
    EXPECT_EQ(PlatformControl::getInstance()->mcuVersion(), QStringLiteral("before"));
}

// --- Unit identity ---

TEST_F(Dispatch, IdentityIsPrefixAndFourteenDigits)
{
    const struct {
        int first, second;
        uint32_t serial;
        const char *uuid;
    } rows[] = {
        {'A', 'B', 12345u, "AB00000000012345"},
        {0, 'B', 12345u, "00000000012345"},
        {'Z', 0, 4294967295u, "Z00004294967295"},
        {'X', 'Y', 0u, "XY00000000000000"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.uuid);
        LogCapture log;
        QByteArray payload = bytes({0x10, row.first, row.second, 0x99, 0x99, 0, 0, 0, 0, 0x77});
        mcu::storeBe32(reinterpret_cast<unsigned char *>(payload.data()) + 5, row.serial);
        dispatch(incomingRecord(2, 212, payload));

        const QString uuid = QString::fromLatin1(row.uuid);
        EXPECT_EQ(AppData::GetInstance()->uuid(), uuid);
        const QVector<LogCapture::Record> records = log.records();
        QStringList lines;
        for (const auto &r : records) {
            if (r.category == QLatin1String("default")) {
                lines << r.text;
                EXPECT_TRUE(r.function.contains(QLatin1String("MainAppProtocolComm::")));
            }
        }
        EXPECT_EQ(joined(lines), QStringLiteral("==========>uuid: \"%1\" len= %2")
                                     .arg(uuid)
                                     .arg(uuid.size())
                                     .toStdString());
    }
}

// --- MCU type ---

TEST_F(Dispatch, McuTypeIsLowSixteenBitsSigned)
{
    const struct {
        uint32_t p1;
        short type;
    } rows[] = {{65535u, -1}, {70000u, 4464}, {0x8000u, -32768}, {0x7FFFu, 32767}, {5u, 5}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.p1);
        LogCapture log;
        EXPECT_EQ(dispatchShort(13144, row.p1, 0), normalLine(13144, row.p1, 0));
        EXPECT_EQ(AppData::GetInstance()->mcuType(), row.type);
        EXPECT_EQ(joined(log.texts()), "==========>MSG_M2A_MCU_TYPE: " + std::to_string(row.p1));
    }
}

// --- Version report ---

QByteArray versionReport(const QByteArray &customer, const QByteArray &sdk)
{
    const QByteArray date =
        BaseControl::getInstance()->getDateVersion().toLocal8Bit().left(13).leftJustified(13, '\0');
    QByteArray payload;
    payload.append(char(customer.size() + sdk.size() + 16));
    payload.append(char(customer.size())).append(customer);
    payload.append(char(sdk.size())).append(sdk);
    payload.append('\x0D').append(date);
    return longRecord(2, 205, payload);
}

TEST_F(Dispatch, VersionReportLaysOutThreeTexts)
{
    QTextCodec *const previousCodec = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    PlatformControl *platformControl = PlatformControl::getInstance();
    const QString customerBefore = platformControl->getCustomerVer();
    const QString sdkBefore = platformControl->getSDKVer();

    const struct {
        const char *name;
        QString customer, sdk;
        QByteArray customerBytes, sdkBytes;
    } rows[] = {
        {"Empty", QString(), QString(), {}, {}},
        {"Ascii", QStringLiteral("ab"), QStringLiteral("xyz"), "ab", "xyz"},
        // Counts are bytes sent, not characters.
        {"NonAscii", QString::fromUtf8("\xC3\x9C" "1"), QString::fromUtf8("\xC3\x9F"), "\xC3\x9C" "1", "\xC3\x9F"},
        {"CutAt39Bytes", QString(50, QLatin1Char('c')), QString(45, QLatin1Char('s')), QByteArray(39, 'c'),
         QByteArray(39, 's')},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        platformControl->setVersions(row.customer, row.sdk);
        EXPECT_EQ(dispatchShort(13080, 0, 0), normalLine(13080, 0, 0));
        EXPECT_EQ(testsupport::hex(sent()), testsupport::hex(versionReport(row.customerBytes, row.sdkBytes)));
    }

    // The two vectors as the MCU reads them.
    platformControl->setVersions(QString(), QString());
    dispatchShort(13080, 1, 2);
    QByteArray report = sent();
    ASSERT_EQ(report.size(), 264);
    EXPECT_EQ(testsupport::hex(report.mid(8, 4)), "10 00 00 0d");
    platformControl->setVersions(QStringLiteral("ab"), QStringLiteral("xyz"));
    dispatchShort(13080, 0, 0);
    report = sent();
    ASSERT_EQ(report.size(), 264);
    EXPECT_EQ(testsupport::hex(report.mid(8, 9)), "15 02 61 62 03 78 79 7a 0d");
    EXPECT_EQ(report.mid(8 + 22), QByteArray(264 - 8 - 22, '\0'));

    platformControl->setVersions(customerBefore, sdkBefore);
    QTextCodec::setCodecForLocale(previousCodec);
}

TEST_F(Dispatch, LongDateVersionIsCutAtThirteenBytes)
{
    // The build's own date text is at least 12 bytes; whatever it is, the report
    // carries 13 bytes of it, zero-padded, and nothing after them.
    PlatformControl::getInstance()->setVersions(QStringLiteral("c"), QStringLiteral("s"));
    dispatchShort(13080, 0, 0);
    const QByteArray report = sent();
    ASSERT_EQ(report.size(), 264);
    EXPECT_EQ(testsupport::hex(report), testsupport::hex(versionReport("c", "s")));
    EXPECT_EQ(report.mid(8 + 18), QByteArray(264 - 8 - 18, '\0'));
}

TEST_F(Dispatch, VersionQueryWithoutPlatformInformationSendsNothing)
{
    PlatformControl::setAvailable(false);
    LogCapture log;
    dispatchShort(13080, 0, 0);
    EXPECT_TRUE(sent().isEmpty());
    EXPECT_EQ(log.texts().size(), 1);
}

// --- Threads ---

TEST_F(Dispatch, ComponentCallsRunOnTheReceiveThread)
{
    DataSaveControl::writeSettingData(SetupStrIdConst::setupSyncRdsTime, true);
    const quint64 start = journalMark();
    QByteArray stream;
    stream += shortRecord(13078, 4, 1);
    stream += shortRecord(529, 13, 8);
    stream += shortRecord(77, 1, 1);
    stream += incomingRecord(2, 57, bytes({1}));
    stream += incomingRecord(3, 5, bytes({2}));
    stream += mcuTime(15552000u);
    stream += incomingRecord(2, 25, QByteArray("\x03V42", 4));
    stream += shortRecord(13144, 7, 0);
    stream += rdsTime(10, 30);
    ASSERT_EQ(::write(harness().peer, stream.constData(), size_t(stream.size())), stream.size());

    // The answers come back in order: the acknowledgement, then the radio-time
    // echo, which is the last thing the stream asks for. Nothing on this thread
    // touches the components until then.
    const QByteArray answers = testsupport::readExactly(harness().peer, 16 + 264);
    ASSERT_EQ(answers.size(), 16 + 264);
    EXPECT_EQ(testsupport::hex(answers.left(16)), testsupport::hex(shortRecord(12, 186, 0)));

    const QStringList expected = {
        "BaseControl::sendMcuKeyPressedSignal(4, 1)",
        "ActivityManager::receiveParamFromMcu(8)",
        "ActivityManager::receiveShortMsgFromMcu(msg=77 p1=1 p2=1)",
        "BaseControl::RecevieMsgFromMcu(kind=2 id=57 len=268 [01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ...])",
        "ActivityManager::receiveCanMsgFromMcu(kind=3 id=5 len=268 [02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ...])",
        "BaseControl::killTimeResumeTimer()",
        "PlatformControl::setMcuVersion(\"V42\")",
        "AppData::setMcuType(7)",
    };
    const Qt::HANDLE receiveThread = harness().receiveThread();
    ASSERT_NE(receiveThread, nullptr);
    ASSERT_NE(receiveThread, QThread::currentThreadId());
    QStringList seen;
    for (const Call &c : callsSince(start)) {
        EXPECT_EQ(c.thread, receiveThread) << qPrintable(c.text);
        EXPECT_FALSE(c.mainThread) << qPrintable(c.text);
        if (expected.contains(c.text))
            seen << c.text;
    }
    EXPECT_EQ(joined(seen), joined(expected));

    const auto clockCalls = harness().clock.calls();
    ASSERT_EQ(clockCalls.size(), 2u);
    for (const auto &call : clockCalls)
        EXPECT_EQ(call.thread, receiveThread);
    EXPECT_EQ(clockCalls[0].secs, 15552000);
    EXPECT_EQ(QDateTime::fromSecsSinceEpoch(clockCalls[1].secs).time(), QTime(10, 30));
    QByteArray echo(5, '\0');
    echo[0] = 4;
    mcu::storeBe32(reinterpret_cast<unsigned char *>(echo.data()) + 1, uint32_t(clockCalls[1].secs));
    EXPECT_EQ(testsupport::hex(answers.mid(16)), testsupport::hex(longRecord(2, 195, echo)));
}

} // namespace

// The call journal, the trace line format and the record description.

#include "journal.h"
#include "trace.h"
#include "tracefmt.h"

#include "mcurecords.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QThread>
#include <QVariant>

#include <map>
#include <thread>
#include <vector>

using platform::Journal;
using platform::JournalEntry;

namespace {

// Every case starts from an empty, enabled journal of the default size and
// leaves it so.
class JournalTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Journal::instance().setEnabled(true);
        Journal::instance().setCapacity(4096);
        Journal::instance().clear();
    }
    void TearDown() override { SetUp(); }
};

QStringList texts(const QVector<JournalEntry> &entries)
{
    QStringList out;
    for (const JournalEntry &e : entries)
        out << e.text;
    return out;
}

} // namespace

TEST_F(JournalTest, FullRingDropsOldestAndKeepsOrder)
{
    Journal &j = Journal::instance();
    j.setCapacity(8);
    const quint64 before = j.lastSeq();
    for (int i = 0; i < 20; ++i)
        j.record(QStringLiteral("call %1").arg(i));

    const QVector<JournalEntry> all = j.entries();
    ASSERT_EQ(all.size(), 8);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(all[i].text, QStringLiteral("call %1").arg(12 + i));
        EXPECT_EQ(all[i].seq, before + 13 + quint64(i));
        if (i) {
            EXPECT_GE(all[i].monotonicNs, all[i - 1].monotonicNs);
        }
    }
    EXPECT_EQ(j.lastSeq(), before + 20);

    // since() is exclusive and never returns what the ring has dropped.
    EXPECT_EQ(texts(j.since(before + 17)), (QStringList{"call 17", "call 18", "call 19"}));
    EXPECT_EQ(j.since(before).size(), 8);
    EXPECT_TRUE(j.since(before + 20).isEmpty());
}

TEST_F(JournalTest, ResizingKeepsTheNewestEntries)
{
    Journal &j = Journal::instance();
    j.setCapacity(5);
    for (int i = 0; i < 7; ++i) // wraps once, so the ring's start is not slot 0
        j.record(QString::number(i));
    j.setCapacity(3);
    EXPECT_EQ(texts(j.entries()), (QStringList{"4", "5", "6"}));
    j.setCapacity(6);
    j.record("7");
    EXPECT_EQ(texts(j.entries()), (QStringList{"4", "5", "6", "7"}));
    j.setCapacity(0); // clamped: the journal never becomes unbounded or empty of slots
    EXPECT_EQ(j.capacity(), 1);
    EXPECT_EQ(texts(j.entries()), (QStringList{"7"}));
    j.record("8");
    EXPECT_EQ(texts(j.entries()), (QStringList{"8"}));
}

TEST_F(JournalTest, DisabledJournalRecordsNothing)
{
    Journal &j = Journal::instance();
    const quint64 before = j.lastSeq();
    j.setEnabled(false);
    platform::trace("BaseControl::ejectSlot()");
    j.record("direct");
    EXPECT_EQ(j.lastSeq(), before);
    EXPECT_TRUE(j.entries().isEmpty());
    j.setEnabled(true);
    platform::trace("BaseControl::ejectSlot()");
    EXPECT_EQ(texts(j.entries()), QStringList{"BaseControl::ejectSlot()"});
}

// A launcher on a head unit runs for days: unless asked for, the stand-ins
// write no line per call (warnings and info stay on) and keep no journal.
TEST_F(JournalTest, TraceAndJournalAreOffUnlessTurnedOn)
{
    EXPECT_FALSE(testsupport::journalWasOnAtStart());
    const QLoggingCategory &category = lcPlatform();
    if (!qEnvironmentVariableIsSet("QT_LOGGING_RULES")) { // the environment's rules would win
        QLoggingCategory::setFilterRules(QString());
        EXPECT_FALSE(category.isDebugEnabled());
        EXPECT_TRUE(category.isInfoEnabled());
        EXPECT_TRUE(category.isWarningEnabled());
        Journal::instance().setEnabled(false);
        EXPECT_FALSE(platform::traceActive());
    }
    QLoggingCategory::setFilterRules(QString::fromLatin1(testsupport::kPlatformTraceRule));
    EXPECT_TRUE(category.isDebugEnabled());
    EXPECT_TRUE(platform::traceActive());
}

TEST_F(JournalTest, ConcurrentWritersKeepTheirOwnOrderAndThread)
{
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2000;
    Journal &j = Journal::instance();
    j.setCapacity(kThreads * kPerThread + 10);

    std::vector<std::thread> writers;
    std::vector<Qt::HANDLE> ids(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t, &ids] {
            ids[size_t(t)] = QThread::currentThreadId();
            for (int i = 0; i < kPerThread; ++i)
                platform::trace(QStringLiteral("w%1 %2").arg(t).arg(i));
        });
    }
    platform::trace("main");
    for (std::thread &w : writers)
        w.join();

    const QVector<JournalEntry> all = j.entries();
    ASSERT_EQ(all.size(), kThreads * kPerThread + 1);
    std::map<int, int> next;
    for (int i = 0; i < all.size(); ++i) {
        const JournalEntry &e = all[i];
        if (i) {
            ASSERT_EQ(e.seq, all[i - 1].seq + 1);
        }
        if (e.text == "main") {
            EXPECT_TRUE(e.mainThread);
            EXPECT_EQ(e.thread, QThread::currentThreadId());
            continue;
        }
        const int t = e.text.mid(1, e.text.indexOf(' ') - 1).toInt();
        const int n = e.text.mid(e.text.indexOf(' ') + 1).toInt();
        EXPECT_FALSE(e.mainThread) << e.text.toStdString();
        EXPECT_EQ(e.thread, ids[size_t(t)]) << e.text.toStdString();
        EXPECT_EQ(n, next[t]) << "thread " << t << " out of order";
        next[t] = n + 1;
    }
}

TEST(TraceFormat, ArgumentsAreWrittenAsQDebugWritesThem)
{
    EXPECT_EQ(platform::formatCall("BaseControl::ejectSlot"), "BaseControl::ejectSlot()");
    EXPECT_EQ(platform::formatCall("BaseControl::sendMcuKeyPressedSignal", 3, 1),
              "BaseControl::sendMcuKeyPressedSignal(3, 1)");
    EXPECT_EQ(platform::formatCall("DataSaveControl::readSettingData", QStringLiteral("sysLang"),
                                   QVariant(QStringLiteral("en_US")), QString()),
              "DataSaveControl::readSettingData(\"sysLang\", QVariant(QString, \"en_US\"), \"\")");
    EXPECT_EQ(platform::formatCall("UIManager::setRightDrive", true, false), "UIManager::setRightDrive(true, false)");
    // Quotes and control characters inside a string cannot break the line apart.
    EXPECT_EQ(platform::formatCall("AppData::setUUID", QStringLiteral("a\"b\nc")), "AppData::setUUID(\"a\\\"b\\nc\")");
    EXPECT_EQ(platform::formatCall("X::y", platform::Raw{"kind=1"}), "X::y(kind=1)");
}

namespace {
struct RecordRow {
    const char *name;
    QByteArray bytes;
    int len;
    const char *expected;
};

QByteArray longRecord(uint32_t kind, uint32_t id, uint32_t length, int payloadBytes)
{
    QByteArray r(mcu::kIncomingRecordSize, '\0');
    auto *p = reinterpret_cast<unsigned char *>(r.data());
    mcu::storeLe32(p, kind);
    mcu::storeLe32(p + 4, id);
    mcu::storeLe32(p + 8, length);
    for (int i = 0; i < payloadBytes; ++i)
        p[12 + i] = static_cast<unsigned char>(i + 1);
    return r;
}
} // namespace

TEST(DescribeRecord, ShowsHeaderWordsAndFirstPayloadBytesWithinLen)
{
    const std::vector<RecordRow> rows = {
        {"short", testsupport::shortRecord(13078, 3, 1), 16, "kind=1 msg=13078 p1=3 p2=1"},
        {"short cut", testsupport::shortRecord(13078, 3, 1), 10, "kind=1 partial [01 00 00 00 16 33 00 00 03 00]"},
        {"long, length 20", longRecord(2, 25, 20, 8), 268, "kind=2 id=25 len=20 [01 02 03 04 05 06 07 08]"},
        {"long, full payload", longRecord(3, 7, 268, 256), 268,
         "kind=3 id=7 len=268 [01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 ...]"},
        // A length word beyond the buffer is the peer's claim: only len bytes are read.
        {"length word too big", longRecord(2, 9, 100000, 4), 16, "kind=2 id=9 len=100000 [01 02 03 04]"},
        {"length word below header", longRecord(2, 9, 3, 2), 14, "kind=2 id=9 len=3 [01 02]"},
        {"header cut", longRecord(2, 9, 20, 0), 6, "kind=2 partial [09 00]"},
        {"three bytes", longRecord(2, 9, 20, 0), 3, "partial record [02 00 00]"},
        {"nothing", QByteArray(), 0, "empty record"},
    };
    for (const RecordRow &row : rows)
        EXPECT_EQ(platform::describeRecord(row.bytes.isEmpty() ? nullptr : row.bytes.constData(), row.len),
                  QString::fromLatin1(row.expected))
            << row.name;
}

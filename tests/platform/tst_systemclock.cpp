// The launcher's clock layer: what the production layer hands to
// clock_settime, the replaceable layer, and that a native build's default never
// touches the machine's clock.

#include "systemclock.h"

#include <QString>
#include <QtGlobal>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>
#include <string>
#include <vector>

// Every reference to clock_settime linked into this executable, the clock
// layer's included, binds here: nothing in this test can change the real clock.
namespace {
std::atomic<int> s_systemCalls{0};
}
extern "C" int clock_settime(clockid_t, const struct timespec *) noexcept
{
    ++s_systemCalls;
    return 0;
}

namespace {

struct SetterCall {
    clockid_t clock;
    long long secs;
    long nsecs;
};
std::vector<SetterCall> s_setterCalls;
int s_setterResult = 0;
int s_setterErrno = 0;

int recordingSetter(clockid_t clock, const struct timespec *ts)
{
    s_setterCalls.push_back({clock, static_cast<long long>(ts->tv_sec), static_cast<long>(ts->tv_nsec)});
    if (s_setterResult != 0)
        errno = s_setterErrno;
    return s_setterResult;
}

class RealtimeClockTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        s_setterCalls.clear();
        s_setterResult = 0;
    }
    platform::RealtimeClock clock{&recordingSetter};
};

TEST_F(RealtimeClockTest, SetsRealtimeClockToWholeSeconds)
{
    for (qint64 secs : {qint64(0), qint64(15552000), qint64(1609459200), qint64(INT32_MAX), qint64(-1)}) {
        SCOPED_TRACE(secs);
        s_setterCalls.clear();
        EXPECT_EQ(clock.setTime(secs), 0);
        ASSERT_EQ(s_setterCalls.size(), 1u);
        EXPECT_EQ(s_setterCalls[0].clock, CLOCK_REALTIME);
        EXPECT_EQ(s_setterCalls[0].secs, secs);
        EXPECT_EQ(s_setterCalls[0].nsecs, 0);
    }
}

TEST_F(RealtimeClockTest, ValuesBeyondTimeTAreRefusedNotTruncated)
{
    const qint64 beyond32 = qint64(INT32_MAX) + 1;
    errno = 0;
    if (sizeof(time_t) == 4) {
        EXPECT_EQ(clock.setTime(beyond32), -1);
        EXPECT_EQ(errno, EOVERFLOW);
        EXPECT_EQ(clock.setTime(qint64(INT32_MIN) - 1), -1);
        EXPECT_TRUE(s_setterCalls.empty());
    } else {
        EXPECT_EQ(clock.setTime(beyond32), 0);
        ASSERT_EQ(s_setterCalls.size(), 1u);
        EXPECT_EQ(s_setterCalls[0].secs, beyond32);
    }
}

TEST_F(RealtimeClockTest, FailureIsReportedWithItsErrno)
{
    s_setterResult = -1;
    s_setterErrno = EPERM;
    errno = 0;
    EXPECT_EQ(clock.setTime(1609459200), -1);
    EXPECT_EQ(errno, EPERM);
}

class RecordingLayer : public platform::SystemClock
{
public:
    int setTime(qint64 secs) override
    {
        last = secs;
        return 7;
    }
    qint64 last = -1;
};

TEST(SystemClockLayer, InstalledLayerReplacesTheDefaultUntilRemoved)
{
    platform::SystemClock *const builtIn = platform::defaultSystemClock();
    ASSERT_NE(builtIn, nullptr);
    EXPECT_EQ(platform::systemClock(), builtIn);

    RecordingLayer recorder;
    platform::setSystemClock(&recorder);
    EXPECT_EQ(platform::systemClock(), &recorder);
    EXPECT_EQ(platform::systemClock()->setTime(42), 7);
    EXPECT_EQ(recorder.last, 42);

    platform::setSystemClock(nullptr);
    EXPECT_EQ(platform::systemClock(), builtIn);
}

TEST(SystemClockLayer, BuildOptionChoosesTheDefault)
{
    EXPECT_EQ(platform::defaultSystemClockSetsTime(), bool(LAUNCHER_SET_SYSTEM_CLOCK_ON));
    EXPECT_EQ(dynamic_cast<platform::RealtimeClock *>(platform::defaultSystemClock()) != nullptr,
              bool(LAUNCHER_SET_SYSTEM_CLOCK_ON));
}

std::mutex s_logMutex;
std::vector<std::string> s_log;
void collect(QtMsgType, const QMessageLogContext &, const QString &text)
{
    std::lock_guard<std::mutex> lock(s_logMutex);
    s_log.push_back(text.toStdString());
}

TEST(SystemClockLayer, NativeDefaultOnlyLogs)
{
    if (platform::defaultSystemClockSetsTime())
        GTEST_SKIP() << "this build sets the system clock (LAUNCHER_SET_SYSTEM_CLOCK=ON)";

    s_log.clear();
    const int before = s_systemCalls.load();
    QtMessageHandler previous = qInstallMessageHandler(&collect);
    const int result = platform::defaultSystemClock()->setTime(1609459200);
    qInstallMessageHandler(previous);

    EXPECT_EQ(result, 0);
    EXPECT_EQ(s_systemCalls.load(), before);
    ASSERT_EQ(s_log.size(), 1u);
    EXPECT_NE(s_log[0].find("1609459200"), std::string::npos) << s_log[0];
    EXPECT_NE(s_log[0].find("2021-01-01T00:00:00"), std::string::npos) << s_log[0];
}

} // namespace

// The staged service start-up inside the built launcher: as its "platform" log
// shows it, the stages run only after the first frame, in their fixed order,
// the staging object goes after its grace period, and SIGTERM still ends the
// process cleanly.

#include "launcherprocess.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

using testsupport::LauncherProcess;
using testsupport::LogRecord;

namespace {

// Index of the first record at or after from in category whose message starts with text.
int find(const QVector<LogRecord> &records, const QString &category, const QString &text, int from = 0)
{
    for (int i = std::max(from, 0); i < records.size(); ++i)
        if (records[i].category == category && records[i].message.startsWith(text))
            return i;
    return -1;
}

int count(const QVector<LogRecord> &records, const QString &category, const QString &text)
{
    int n = 0;
    for (const LogRecord &r : records)
        n += (r.category == category && r.message.startsWith(text)) ? 1 : 0;
    return n;
}

// Line n (from 1) of a file of the source tree named as the compiler named it.
QString sourceLine(const QString &file, int n)
{
    QFile source(QDir(QStringLiteral(LAUNCHER_SOURCE_DIR)).filePath(file));
    if (n < 1 || !source.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    const QStringList lines = QString::fromUtf8(source.readAll()).split('\n');
    return n <= lines.size() ? lines[n - 1] : QString();
}

std::string dump(const QVector<LogRecord> &records)
{
    std::string out;
    for (const LogRecord &r : records)
        out += "  " + r.category.toStdString() + ": " + r.message.toStdString() + "\n";
    return out;
}

TEST(LaunchStaging, StagesFollowTheFirstFrameAndTheStagingGoesBeforeTheProcessEnds)
{
    LauncherProcess launcher(testsupport::scratchDir("launchstaging"));
    ASSERT_TRUE(launcher.start());

    // The staging object releases the first-frame monitor when it is deleted,
    // 5 s after the services have finished.
    ASSERT_TRUE(launcher.waitForRecord(
        [](const LogRecord &r) {
            return r.category == "platform" && r.message.startsWith("FirstFrameMonitor::releaseInstance");
        },
        std::chrono::seconds(60)))
        << dump(launcher.records());

    ASSERT_TRUE(launcher.terminate());
    EXPECT_EQ(launcher.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(launcher.exitCode(), 0);

    const QVector<LogRecord> log = launcher.records();
    const int started = find(log, "default", "start");
    const int monitor = find(log, "platform", "FirstFrameMonitor::getInstance");
    const int findInfo = find(log, "platform", "ModuleManager::findModule(\"info\")", monitor);
    const int preCheck = find(log, "platform", "FirstFrameMonitor::preCheck", monitor);
    const int ui = find(log, "default", "UI is UI_TAVREN_1024_600");
    const int flushed = find(log, "platform", "FirstFrameMonitor::procFlushDone");
    ASSERT_GE(started, 0) << dump(log);
    ASSERT_GT(monitor, started) << dump(log);
    ASSERT_GT(findInfo, monitor) << dump(log);
    ASSERT_GT(preCheck, findInfo) << dump(log);
    ASSERT_GT(ui, preCheck) << dump(log);
    ASSERT_GE(flushed, 0) << dump(log);

    // A trace line's context is its call site in the stand-in's source.
    const LogRecord &traced = log[monitor];
    EXPECT_TRUE(traced.file.endsWith("platform/standin/firstframemonitor.cpp")) << traced.file.toStdString();
    EXPECT_TRUE(traced.function.contains("FirstFrameMonitor::getInstance")) << traced.function.toStdString();
    EXPECT_TRUE(sourceLine(traced.file, traced.line).contains("PLATFORM_TRACE")) << traced.line;

    // The framework makes its beep sound (Qt Multimedia, the audio server)
    // only once the first frame is out.
    const int frame = find(log, "platform", "FirstFrameMonitor::firstFrameFlushed");
    EXPECT_GE(find(log, "platform", "Framework::handBeepSound(waits for the first frame)"), 0) << dump(log);
    EXPECT_GT(find(log, "platform", "Framework::handBeepSound(filter found)"), frame) << dump(log);

    // Nothing is staged before the frame; then the whole order, once each.
    EXPECT_EQ(find(log, "platform", "SvcControl::exeStage"), find(log, "platform", "SvcControl::exeStage", flushed))
        << dump(log);
    const QStringList order = {
        "SvcControl::exeStage(0, false)",
        "ModuleManager::setServiceStage(1)",
        "ModuleManager::serviceStageChanged(true)",
        "SvcControl::exeStage(1, false)",
        "ModuleManager::setServiceStage(2)",
        "ModuleManager::serviceStageChanged(true)",
        "SvcControl::stop(false)",
    };
    int at = flushed;
    for (const QString &step : order) {
        const int next = find(log, "platform", step, at + 1);
        ASSERT_GT(next, at) << step.toStdString() << " out of order:\n" << dump(log);
        at = next;
    }
    EXPECT_EQ(count(log, "platform", "SvcControl::exeStage"), 2);
    EXPECT_EQ(count(log, "platform", "SvcControl::stop"), 1);

    // The "info" module hears that all services are ready, then the staging
    // object goes, giving the monitor back exactly once.
    int ready = -1;
    for (int i = at + 1; i < log.size() && ready < 0; ++i)
        if (log[i].category == "platform" && log[i].message.contains("allServiceReady"))
            ready = i;
    ASSERT_GT(ready, at) << dump(log);
    const int released = find(log, "platform", "FirstFrameMonitor::releaseInstance", ready);
    EXPECT_GT(released, ready) << dump(log);
    EXPECT_EQ(count(log, "platform", "FirstFrameMonitor::releaseInstance"), 1);
    EXPECT_EQ(count(log, "platform", "FirstFrameMonitor::getInstance"), 1);

    // The teardown ends with the driver's record, after the event loop.
    int lastSystem = -1;
    for (int i = 0; i < log.size(); ++i)
        if (log[i].category == "default" && !log[i].file.isEmpty())
            lastSystem = i;
    ASSERT_GE(lastSystem, 0);
    // (A sanitizer's exit summary may follow on the same stream.)
    EXPECT_TRUE(log[lastSystem].message.startsWith("~MainStart ")) << log[lastSystem].message.toStdString();
    EXPECT_GT(lastSystem, released);
}

} // namespace

// The first-frame monitor reports once a real top-level window has been
// painted and flushed, and from inside preCheck() once that has happened.

#include "firstframe.h"
#include "firstframemonitor.h"
#include "journal.h"

#include "testsupport.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QPainter>
#include <QSignalSpy>
#include <QWidget>

namespace {

class CountingWindow : public QWidget
{
public:
    int paints = 0;

protected:
    void paintEvent(QPaintEvent *) override
    {
        ++paints;
        QPainter(this).fillRect(rect(), Qt::darkBlue);
    }
};

int count(const QString &text, quint64 since)
{
    int n = 0;
    for (const platform::JournalEntry &e : platform::Journal::instance().since(since))
        n += e.text == text;
    return n;
}

} // namespace

// One case: the first frame of a process happens once.
TEST(FirstFrameMonitor, ReportsAfterTheFirstPaintThenAtOnceFromPreCheck)
{
    const quint64 mark = platform::Journal::instance().lastSeq();
    FirstFrameMonitor *monitor = FirstFrameMonitor::getInstance();
    ASSERT_NE(monitor, nullptr);
    EXPECT_EQ(FirstFrameMonitor::getInstance(), monitor); // counted, the same instance

    CountingWindow window;
    int paintsAtReport = -1;
    QObject::connect(monitor, &FirstFrameMonitor::procFlushDone, [&] { paintsAtReport = window.paints; });
    QSignalSpy spy(monitor, &FirstFrameMonitor::procFlushDone);

    // Armed before there is any frame: nothing yet, not even after the loop runs.
    monitor->preCheck();
    QCoreApplication::processEvents();
    EXPECT_EQ(spy.count(), 0);

    // Work kept out of the first frame's way: at once while no window waits.
    EXPECT_TRUE(platform::runAfterFirstFrame([] {}));

    window.resize(320, 200);
    window.show();
    int paintsAtWork = -1;
    EXPECT_FALSE(platform::runAfterFirstFrame([&] { paintsAtWork = window.paints; }));
    ASSERT_TRUE(testsupport::waitFor([&] { return spy.count() == 1; }));
    EXPECT_GE(paintsAtReport, 1) << "reported before the window was painted";
    EXPECT_GE(paintsAtWork, 1) << "the deferred work did not run right after the first frame";
    EXPECT_TRUE(platform::runAfterFirstFrame([] {})); // the frame is out: at once

    // Further frames and a second preCheck() report nothing more.
    window.update();
    ASSERT_TRUE(testsupport::waitFor([&] { return window.paints >= 2; }));
    monitor->preCheck();
    QCoreApplication::processEvents();
    EXPECT_EQ(spy.count(), 1);

    // Given back twice, the instance goes; the next one knows the frame is out
    // and reports from inside preCheck(), to a receiver connected before it.
    FirstFrameMonitor::releaseInstance();
    FirstFrameMonitor::releaseInstance();
    FirstFrameMonitor::releaseInstance(); // one too many: ignored
    FirstFrameMonitor *next = FirstFrameMonitor::getInstance();
    bool insidePreCheck = false;
    bool reported = false;
    QObject::connect(next, &FirstFrameMonitor::procFlushDone, [&] { reported = insidePreCheck; });
    insidePreCheck = true;
    next->preCheck();
    insidePreCheck = false;
    EXPECT_TRUE(reported);
    FirstFrameMonitor::releaseInstance();

    EXPECT_EQ(count("FirstFrameMonitor::procFlushDone()", mark), 2);
    EXPECT_EQ(count("FirstFrameMonitor::releaseInstance() not held: ignored", mark), 1);
}

#include "firstframemonitor.h"

#include "firstframe.h"
#include "tracefmt.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <mutex>
#include <vector>

// The first frame counts as flushed when a widget of a visible top-level window
// has been painted and the paint pass that painted it has ended: the widget
// repaint manager paints and then flushes the backing store within one pass,
// so a call queued from the paint event runs after the flush.
//
// The tracker watches the application's events from the moment the
// application object exists, so a frame painted before anybody asks for the
// monitor still counts.

namespace {
std::mutex s_mutex;
FirstFrameMonitor *s_instance = nullptr; // guarded by s_mutex
int s_count = 0;                         // guarded by s_mutex
bool s_frameFlushed = false;             // main thread only
std::vector<std::function<void()>> s_afterFirstFrame; // main thread only

// The monitor's own state; there is one monitor at a time (main thread only).
struct MonitorState {
    bool armed = false;    // preCheck() has been called
    bool flushed = false;  // the first frame has been flushed
    bool reported = false; // procFlushDone() has been emitted
};
MonitorState s_monitor;

void reportFlushDone(FirstFrameMonitor *monitor)
{
    if (s_monitor.armed && s_monitor.flushed && !s_monitor.reported) {
        s_monitor.reported = true;
        PLATFORM_TRACE_CALL("FirstFrameMonitor::procFlushDone");
        emit monitor->procFlushDone();
    }
}

void runAfterFirstFrameWork()
{
    std::vector<std::function<void()>> work;
    work.swap(s_afterFirstFrame);
    for (const auto &fn : work)
        fn();
}

bool windowWaitsForFirstFrame()
{
    if (s_frameFlushed || !qobject_cast<QApplication *>(QCoreApplication::instance()))
        return false;
    const QWidgetList windows = QApplication::topLevelWidgets();
    return std::any_of(windows.cbegin(), windows.cend(), [](const QWidget *w) { return w->isVisible(); });
}
} // namespace

namespace platform {

bool runAfterFirstFrame(std::function<void()> fn)
{
    if (!windowWaitsForFirstFrame()) {
        fn();
        return true;
    }
    if (s_afterFirstFrame.empty())
        QTimer::singleShot(kFirstFrameWaitMs, QCoreApplication::instance(), runAfterFirstFrameWork);
    s_afterFirstFrame.push_back(std::move(fn));
    return false;
}

} // namespace platform

class FirstFrameTracker : public QObject
{
public:
    explicit FirstFrameTracker(QObject *app) : QObject(app) { app->installEventFilter(this); }

    static void ensureInstalled()
    {
        static QPointer<FirstFrameTracker> s_tracker;
        QCoreApplication *app = QCoreApplication::instance();
        if (!app || s_tracker || s_frameFlushed)
            return;
        s_tracker = new FirstFrameTracker(app);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_seen && watched->isWidgetType()) {
            QWidget *window = static_cast<QWidget *>(watched)->window();
            if (window && window->isVisible()) {
                m_seen = true;
                QMetaObject::invokeMethod(this, [this] { flushed(); }, Qt::QueuedConnection);
            }
        }
        return false;
    }

private:
    void flushed()
    {
        s_frameFlushed = true;
        PLATFORM_TRACE_CALL("FirstFrameMonitor::firstFrameFlushed");
        FirstFrameMonitor *monitor;
        {
            std::lock_guard<std::mutex> lock(s_mutex);
            monitor = s_instance;
        }
        if (monitor) {
            s_monitor.flushed = true;
            reportFlushDone(monitor);
        }
        runAfterFirstFrameWork();
        // Its work is done: stop looking at every event of the application.
        deleteLater();
    }

    bool m_seen = false;
};

static void installFirstFrameTracker()
{
    FirstFrameTracker::ensureInstalled();
}
Q_COREAPP_STARTUP_FUNCTION(installFirstFrameTracker)

FirstFrameMonitor::FirstFrameMonitor()
{
    s_monitor = MonitorState();
    s_monitor.flushed = s_frameFlushed;
}

FirstFrameMonitor::~FirstFrameMonitor() = default;

FirstFrameMonitor *FirstFrameMonitor::getInstance()
{
    FirstFrameTracker::ensureInstalled();
    std::lock_guard<std::mutex> lock(s_mutex);
    if (!s_instance)
        s_instance = new FirstFrameMonitor;
    ++s_count;
    PLATFORM_TRACE(platform::formatCall("FirstFrameMonitor::getInstance") + QStringLiteral(" held %1").arg(s_count));
    return s_instance;
}

void FirstFrameMonitor::releaseInstance()
{
    FirstFrameMonitor *gone = nullptr;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        if (s_count == 0) {
            PLATFORM_TRACE(platform::formatCall("FirstFrameMonitor::releaseInstance") + QStringLiteral(" not held: ignored"));
            return;
        }
        --s_count;
        PLATFORM_TRACE(platform::formatCall("FirstFrameMonitor::releaseInstance") + QStringLiteral(" held %1").arg(s_count));
        if (s_count == 0) {
            gone = s_instance;
            s_instance = nullptr;
        }
    }
    if (gone) {
        if (QThread::currentThread() == gone->thread())
            delete gone;
        else
            gone->deleteLater();
    }
}

void FirstFrameMonitor::preCheck()
{
    PLATFORM_TRACE(platform::formatCall("FirstFrameMonitor::preCheck") +
                   (s_monitor.flushed ? QStringLiteral(" frame already flushed")
                                      : QStringLiteral(" waiting for the first frame")));
    s_monitor.armed = true;
    reportFlushDone(this);
}

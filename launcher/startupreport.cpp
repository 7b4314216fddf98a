#include "startupreport.h"

#include "processclock.h"
#include "processlog.h"

#include "firstframemonitor.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <cstdio>

StartupReport::StartupReport(QObject *parent) : QObject(parent)
{
    mark(ApplicationMade);
    if (QCoreApplication *app = QCoreApplication::instance()) {
        app->installEventFilter(this);
        m_watchingEvents = true;
    }
}

StartupReport::~StartupReport()
{
    if (m_watchingEvents)
        QCoreApplication::instance()->removeEventFilter(this);
    if (m_monitor)
        FirstFrameMonitor::releaseInstance();
}

void StartupReport::mark(Checkpoint checkpoint)
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_ms[checkpoint] < 0)
        m_ms[checkpoint] = processclock::msSinceStart();
}

void StartupReport::watchFirstFrame()
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_monitor || m_reported)
        return;
    m_monitor = FirstFrameMonitor::getInstance();
    if (m_monitor)
        connect(m_monitor, &FirstFrameMonitor::procFlushDone, this, &StartupReport::firstFrameFlushed);
}

// Every event of the application until the first frame: a type compare for
// all but the few Show events.
bool StartupReport::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show && m_ms[HomeScreenShown] < 0 && watched->isWidgetType() &&
        static_cast<QWidget *>(watched)->isWindow())
        mark(HomeScreenShown);
    return false;
}

void StartupReport::firstFrameFlushed()
{
    if (m_reported)
        return;
    m_reported = true;
    mark(FirstFrame);
    if (m_watchingEvents) {
        QCoreApplication::instance()->removeEventFilter(this);
        m_watchingEvents = false;
    }

    char figures[CheckpointCount][16];
    for (int i = 0; i < CheckpointCount; ++i) {
        if (m_ms[i] < 0)
            std::snprintf(figures[i], sizeof figures[i], "-");
        else
            std::snprintf(figures[i], sizeof figures[i], "%.1f", m_ms[i]);
    }
    processlog::outf(processlog::Priority::Info,
                     "Start-up (ms since the process began): application made %s, UI is %s, "
                     "home screen shown %s, first frame %s\n",
                     figures[ApplicationMade], figures[OwnStepsDone], figures[HomeScreenShown],
                     figures[FirstFrame]);
    emit firstFrameOnScreen(m_ms[FirstFrame]);

    // Given back from the event loop, not from inside the monitor's own signal.
    disconnect(m_monitor, nullptr, this, nullptr);
    QTimer::singleShot(0, this, [this] {
        if (m_monitor) {
            m_monitor = nullptr;
            FirstFrameMonitor::releaseInstance();
        }
    });
}

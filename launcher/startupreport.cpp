#include "startupreport.h"

#include "processclock.h"
#include "processlog.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
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
}

void StartupReport::mark(Checkpoint checkpoint)
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (m_ms[checkpoint] < 0)
        m_ms[checkpoint] = processclock::msSinceStart();
}

// Every event of the application until the first frame: a type compare for
// all but the few Show and Paint events.
bool StartupReport::eventFilter(QObject *watched, QEvent *event)
{
    const QEvent::Type type = event->type();
    if ((type != QEvent::Show && type != QEvent::Paint) || !watched->isWidgetType())
        return false;
    auto *widget = static_cast<QWidget *>(watched);
    if (type == QEvent::Show) {
        if (m_ms[HomeScreenShown] < 0 && widget->isWindow())
            mark(HomeScreenShown);
    } else if (!m_painted && widget->window() && widget->window()->isVisible()) {
        m_painted = true;
        QMetaObject::invokeMethod(this, &StartupReport::firstFrameFlushed, Qt::QueuedConnection);
    }
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
}

// The reference for the launcher's start-up: a bare QApplication that shows one
// 1024x600 window and reports its first flushed paint, the way the first-frame
// monitor judges a frame flushed (a call queued from the first paint of a
// visible window runs after the paint pass has flushed). Its checkpoints are
// read off the launcher's clock (processclock.h) and written in one line on
// standard output, as the launcher writes its own:
//
//   barewindow start-up (ms since the process began): application made 30.1, window shown 31.0, first frame 40.2
//
// Then it quits, or with --stay goes on showing the window (the memory
// benchmark reads its footprint). With --text the window holds one line of
// text, so that the font set-up that every window showing text pays is part
// of the figure.
//
// Built twice: bench_barewindow loads Qt Core, Gui and Widgets only;
// bench_barewindow_samelibs (BAREWINDOW_SAME_LIBRARIES) also loads what the
// launcher's design needs besides them, Qt Multimedia for the beep sound,
// with what that library brings: the fair limit for the launcher.

#include "processclock.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QMetaObject>
#include <QWidget>

#ifdef BAREWINDOW_SAME_LIBRARIES
#include <QSound>
#endif

#include <cstdio>

namespace {

class FirstPaint : public QObject
{
public:
    FirstPaint(QObject *parent, bool quit, double madeMs) : QObject(parent), m_quit(quit), m_madeMs(madeMs) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (m_shownMs < 0 && event->type() == QEvent::Show && watched->isWidgetType() &&
            static_cast<QWidget *>(watched)->isWindow())
            m_shownMs = processclock::msSinceStart();
        if (!m_seen && event->type() == QEvent::Paint && watched->isWidgetType()) {
            QWidget *window = static_cast<QWidget *>(watched)->window();
            if (window && window->isVisible()) {
                m_seen = true;
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        std::printf("barewindow start-up (ms since the process began): application made %.1f, "
                                    "window shown %.1f, first frame %.1f\n",
                                    m_madeMs, m_shownMs, processclock::msSinceStart());
                        std::fflush(stdout);
                        if (m_quit)
                            QCoreApplication::quit();
                    },
                    Qt::QueuedConnection);
            }
        }
        return false;
    }

private:
    const bool m_quit;
    const double m_madeMs;
    double m_shownMs = -1;
    bool m_seen = false;
};

} // namespace

int main(int argc, char *argv[])
{
    processclock::msSinceStart();
#ifdef BAREWINDOW_SAME_LIBRARIES
    // A use of Qt Multimedia, so that the library is loaded however it is linked.
    if (!QSound::staticMetaObject.className())
        return 1;
#endif
    QApplication app(argc, argv);
    const double madeMs = processclock::msSinceStart();
    FirstPaint watcher(&app, !app.arguments().contains(QStringLiteral("--stay")), madeMs);
    app.installEventFilter(&watcher);
    QWidget window;
    window.setFixedSize(1024, 600);
    if (app.arguments().contains(QStringLiteral("--text")))
        (new QLabel(QStringLiteral("UI_TAVREN_1024_600"), &window))->move(20, 20);
    window.show();
    return app.exec();
}

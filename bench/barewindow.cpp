// The reference for the launcher's start-up: a bare QApplication that shows one
// 1024x600 window and reports its first flushed paint on standard error, the
// way the first-frame monitor judges a frame flushed (a call queued from the
// first paint of a visible window runs after the paint pass has flushed).
// Then it quits, or with --stay goes on showing the window (the memory
// benchmark reads its footprint). With --text the window holds one line of
// text, so that the font set-up that every window showing text pays is part
// of the figure. "application made" marks the end of QApplication's
// construction, as the launcher's banner does.

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QMetaObject>
#include <QWidget>

#include <cstdio>

namespace {

class FirstPaint : public QObject
{
public:
    FirstPaint(QObject *parent, bool quit) : QObject(parent), m_quit(quit) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!m_seen && event->type() == QEvent::Paint && watched->isWidgetType()) {
            QWidget *window = static_cast<QWidget *>(watched)->window();
            if (window && window->isVisible()) {
                m_seen = true;
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        std::fprintf(stderr, "barewindow: first frame flushed\n");
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
    bool m_seen = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    std::fprintf(stderr, "barewindow: application made\n");
    FirstPaint watcher(&app, !app.arguments().contains(QStringLiteral("--stay")));
    app.installEventFilter(&watcher);
    QWidget window;
    window.setFixedSize(1024, 600);
    if (app.arguments().contains(QStringLiteral("--text")))
        (new QLabel(QStringLiteral("UI_TAVREN_1024_600"), &window))->move(20, 20);
    window.show();
    return app.exec();
}

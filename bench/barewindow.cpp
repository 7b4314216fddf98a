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
// with what that library brings: the fair limit for the launcher. With --stay
// it makes a QSound of a short beep just after its first frame, as the
// launcher's framework makes its beep sound, and reads its standard input: a
// line "beep" plays it, as the launcher's beep does once key presses come (the
// sound's plugins and threads then count alike on both sides).

#include "processclock.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QMetaObject>
#include <QWidget>

#ifdef BAREWINDOW_SAME_LIBRARIES
#include <QDataStream>
#include <QSocketNotifier>
#include <QSound>
#include <QTemporaryFile>

#include <cmath>
#include <unistd.h>
#endif

#include <cstdio>
#include <functional>

namespace {

class FirstPaint : public QObject
{
public:
    FirstPaint(QObject *parent, bool quit, double madeMs) : QObject(parent), m_quit(quit), m_madeMs(madeMs) {}

    // Runs once the first frame is reported (with --stay).
    std::function<void()> afterFirstFrame;

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
                        else if (afterFirstFrame)
                            afterFirstFrame();
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

#ifdef BAREWINDOW_SAME_LIBRARIES
// 60 ms of 1200 Hz, mono 16-bit PCM at 16 kHz: the launcher's beep.
QByteArray beepWav()
{
    constexpr int kRate = 16000;
    constexpr int kSamples = kRate * 60 / 1000;
    QByteArray bytes;
    QDataStream s(&bytes, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    s.writeRawData("RIFF", 4);
    s << quint32(36 + kSamples * 2);
    s.writeRawData("WAVEfmt ", 8);
    s << quint32(16) << quint16(1) << quint16(1) << quint32(kRate) << quint32(kRate * 2) << quint16(2)
      << quint16(16);
    s.writeRawData("data", 4);
    s << quint32(kSamples * 2);
    for (int i = 0; i < kSamples; ++i)
        s << qint16(std::lround(0.4 * 32767 * std::sin(2 * M_PI * 1200.0 * i / kRate)));
    return bytes;
}

// The beep sound, made at the first call; null if its file cannot be written.
QSound *beepSound(QObject *parent)
{
    static QSound *sound = nullptr;
    if (!sound) {
        auto *file = new QTemporaryFile(parent);
        if (!file->open() || file->write(beepWav()) < 0 || !file->flush())
            return nullptr;
        sound = new QSound(file->fileName(), parent);
    }
    return sound;
}

// "beep" lines on standard input: each plays the sound.
void beepOnRequest(QObject *parent)
{
    auto *input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, parent);
    QObject::connect(input, &QSocketNotifier::activated, parent, [input, parent] {
        char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            input->setEnabled(false);
            return;
        }
        if (!QByteArray(buf, int(n)).contains("beep"))
            return;
        if (QSound *sound = beepSound(parent))
            sound->play();
    });
}
#endif

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
#ifdef BAREWINDOW_SAME_LIBRARIES
    if (app.arguments().contains(QStringLiteral("--stay"))) {
        watcher.afterFirstFrame = [&app] { beepSound(&app); };
        beepOnRequest(&app);
    }
#endif
    return app.exec();
}

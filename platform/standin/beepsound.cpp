#include "beepsound.h"

#include "firstframe.h"
#include "soundserver.h"
#include "tracefmt.h"

// The filter is the launcher's: found through the entry points its executable
// exports, at run time, so that programs without the filter link and run.
#include "launcherexports.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QSaveFile>
#include <QSound>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cmath>

#include <dlfcn.h>
#include <unistd.h>

namespace platform {

namespace {

using FilterAccessor = decltype(&launcher_beep_filter);
using SoundSlotAccessor = decltype(&launcher_beep_sound_slot);

// How long the application's end waits for a sample that is still loading.
constexpr int kQuitLoadWaitMs = 3000;

void step(const QString &what)
{
    PLATFORM_TRACE_CALL("Framework::handBeepSound", Raw{what});
}

// Main thread only. Never destroyed, and neither is the sound it makes.
struct BeepState {
    QPointer<QSound> sound;
};

// Qt Multimedia loads samples on a thread of its own, which it starts while a
// sound is made and which ends when no sample is loading. The kernel knows it
// by its name, cut to 15 bytes, but only once the thread has run far enough to
// give itself that name: until then it bears the name of the thread that made
// the sound.
const QByteArray kLoaderName("QSampleCache::L");

// How long making a sound waits for the threads it started to take their names.
constexpr int kLoaderNameWaitMs = 500;

QString taskFolder()
{
    return QStringLiteral("/proc/self/task");
}

QByteArray taskName(const QString &id)
{
    QFile comm(taskFolder() + QLatin1Char('/') + id + QStringLiteral("/comm"));
    return comm.open(QIODevice::ReadOnly) ? comm.readAll().trimmed() : QByteArray();
}

QStringList taskIds()
{
    return QDir(taskFolder()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
}

// Makes the sound, then waits until its loader is known by name, or until no
// thread born meanwhile still bears this thread's name (the load is over, or
// needed no thread): from then on, a load in progress is seen by the name.
QSound *makeSound(const QString &path)
{
    const QByteArray ownName = taskName(QString::number(::gettid()));
    const QStringList before = taskIds();
    auto *sound = new QSound(path);
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        bool unnamed = false;
        for (const QString &id : taskIds()) {
            const QByteArray name = taskName(id);
            if (name == kLoaderName)
                return sound;
            unnamed = unnamed || (name == ownName && !before.contains(id));
        }
        // A thread that never names itself (a sanitizer's, say) ends the wait by time.
        if (!unnamed || waited.hasExpired(kLoaderNameWaitMs))
            return sound;
        QThread::usleep(200);
    }
}

BeepState &beepState()
{
    static auto *s_state = new BeepState;
    return *s_state;
}

QTemporaryDir *privateDir();

void removePrivateDir()
{
    privateDir()->remove();
}

// A private folder of this process, removed when the application goes.
QTemporaryDir *privateDir()
{
    static auto *s_dir = [] {
        auto *dir = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/headunit-XXXXXX"));
        if (dir->isValid() && QCoreApplication::instance())
            qAddPostRoutine(removePrivateDir);
        return dir;
    }();
    return s_dir;
}

// Writes the beep to path unless the file there already holds it.
bool writeBeepFile(const QString &path)
{
    const QByteArray wav = beepWav();
    {
        QFile existing(path);
        if (existing.open(QIODevice::ReadOnly) && existing.size() == wav.size() && existing.readAll() == wav)
            return true;
    }
    // Written aside and renamed into place: a reader never sees half a file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(wav) != wav.size() || !file.commit()) {
        qCWarning(lcPlatform).noquote() << "beep sound" << path << "cannot be written:" << file.errorString();
        return false;
    }
    return true;
}

QString findBeepSoundPath()
{
    // The runtime folder is the user's own (and in memory); without a session
    // that has one, a folder of this process's own rather than a shared one.
    QString folder;
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = privateDir()->isValid() ? privateDir()->path() : QString();
    if (folder.isEmpty())
        return QString();
    const QString path = folder + QStringLiteral("/headunit-beep.wav");
    return writeBeepFile(path) ? path : QString();
}

void handOnMainThread()
{
    auto accessor = reinterpret_cast<FilterAccessor>(::dlsym(RTLD_DEFAULT, kBeepFilterAccessor));
    auto slotAccessor = reinterpret_cast<SoundSlotAccessor>(::dlsym(RTLD_DEFAULT, kBeepSoundSlotAccessor));
    if (!accessor || !slotAccessor) {
        step(QStringLiteral("no beep filter in this process"));
        return;
    }
    QObject *filter = accessor();
    QSound **slot = slotAccessor();
    if (!filter || !slot) {
        step(QStringLiteral("the beep filter accessor gave no filter"));
        return;
    }
    step(QStringLiteral("filter found"));

    BeepState &state = beepState();
    if (*slot && *slot == state.sound.data()) {
        step(QStringLiteral("the filter has the sound already"));
    } else if (*slot) {
        step(QStringLiteral("the filter has a sound of its own: kept"));
    } else {
        if (!state.sound) {
            // Without a sound server the sound library would try it again
            // and again, with a warning each time: no sound is made then.
            if (!soundServerReached()) {
                step(QStringLiteral("no sound server: the filter stays silent"));
                return;
            }
            const QString path = beepSoundPath();
            if (path.isEmpty()) {
                step(QStringLiteral("no beep sound file: the filter stays silent"));
                return;
            }
            // Never destroyed: Qt Multimedia waits, in a sound's destructor,
            // for its sample loader thread, which may be waiting for an event
            // loop that has ended by then (the application's teardown hangs).
            state.sound = makeSound(path);
            // A sample still loading when the process ends is left half made
            // (its reader and decoder are never freed): its load, which needs
            // this thread's events the first time, is let end before.
            static const bool s_waitsAtQuit = QObject::connect(
                QCoreApplication::instance(), &QCoreApplication::aboutToQuit, [] {
                    if (!waitForBeepSoundLoad(kQuitLoadWaitMs))
                        qCWarning(lcPlatform, "the beep sound was still loading after %d ms: left as it is",
                                  kQuitLoadWaitMs);
                });
            Q_UNUSED(s_waitsAtQuit);
        }
        *slot = state.sound.data();
        // The filter does not own the sound: should the sound go first, the
        // filter is not left pointing at it.
        QPointer<QObject> watched(filter);
        QSound *sound = state.sound.data();
        QObject::connect(sound, &QObject::destroyed, [watched, slot, sound] {
            if (watched && *slot == sound)
                *slot = nullptr;
        });
        step(QStringLiteral("sound %1 set").arg(sound->fileName()));
    }

    const QMetaObject *meta = filter->metaObject();
    if (meta->indexOfSignal("mcuPlayBeepSig()") < 0 || meta->indexOfSlot("playSound()") < 0) {
        qCWarning(lcPlatform, "the beep filter has no mcuPlayBeepSig() or playSound(): no beep");
        return;
    }
    if (QObject::connect(filter, SIGNAL(mcuPlayBeepSig()), filter, SLOT(playSound()), Qt::UniqueConnection))
        step(QStringLiteral("mcuPlayBeepSig() connected to playSound()"));
    else
        step(QStringLiteral("mcuPlayBeepSig() already connected to playSound()"));
}

} // namespace

QByteArray beepWav()
{
    // 60 ms of 1200 Hz at 16 kHz, with 5 ms ramps so that it does not click.
    constexpr int kRate = 16000;
    constexpr int kSamples = kRate * 60 / 1000;
    constexpr int kRamp = kRate * 5 / 1000;
    constexpr double kTone = 1200.0;
    constexpr double kAmplitude = 0.4 * 32767;
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
    for (int i = 0; i < kSamples; ++i) {
        const double ramp = std::min({1.0, double(i) / kRamp, double(kSamples - 1 - i) / kRamp});
        s << qint16(std::lround(kAmplitude * ramp * std::sin(2 * M_PI * kTone * i / kRate)));
    }
    return bytes;
}

QString beepSoundPath()
{
    // Written once per process, on first use.
    static const auto *s_path = new QString(findBeepSoundPath());
    return *s_path;
}

bool beepSoundLoading()
{
    for (const QString &id : taskIds()) {
        if (taskName(id) == kLoaderName)
            return true;
    }
    return false;
}

bool waitForBeepSoundLoad(int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (beepSoundLoading()) {
        if (waited.hasExpired(timeoutMs))
            return false;
        QCoreApplication::processEvents();
        QThread::msleep(2);
    }
    return true;
}

void handBeepSound()
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        qCWarning(lcPlatform, "no application: the beep filter gets no sound");
        return;
    }
    // Making the sound loads Qt Multimedia and tries the audio server (tens of
    // milliseconds): it waits until the first frame is on screen.
    const auto hand = [] {
        if (!runAfterFirstFrame(handOnMainThread))
            step(QStringLiteral("waits for the first frame"));
    };
    if (QThread::currentThread() == app->thread())
        hand();
    else
        QMetaObject::invokeMethod(app, hand, Qt::QueuedConnection);
}

} // namespace platform

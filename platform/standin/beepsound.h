#ifndef PLATFORM_BEEPSOUND_H
#define PLATFORM_BEEPSOUND_H

#include "platformexport.h"

#include <QByteArray>
#include <QString>

namespace platform {

// The launcher's entry points for its beep filter (launcherexports.h), looked up at run time.
constexpr char kBeepFilterAccessor[] = "launcher_beep_filter";
constexpr char kBeepSoundSlotAccessor[] = "launcher_beep_sound_slot";

// Gives the launcher's beep filter the framework's beep sound: looks the
// filter's accessor up among the process's symbols at run time (a program
// without the filter has nothing to hand it to), sets its m_sound when it has
// none, and connects its mcuPlayBeepSig() to its playSound(). Runs on the
// application's main thread; called from another thread, it is queued there.
// While a visible window waits for its first frame, the hand-over waits until
// just after that frame (making the sound takes tens of milliseconds).
// Safe to call again: the sound is made once and each connection exists once.
PLATFORM_EXPORT void handBeepSound();

// Whether Qt Multimedia is loading a sample (the beep) in this process.
PLATFORM_EXPORT bool beepSoundLoading();

// Serves the calling (main) thread's events until no sample is loading, for at
// most timeoutMs. The first load needs them. False when the time ran out.
PLATFORM_EXPORT bool waitForBeepSoundLoad(int timeoutMs);

// The beep as a short mono 16-bit PCM wav file.
PLATFORM_EXPORT QByteArray beepWav();

// Where the beep is written: the user's runtime folder, or a private temporary
// folder of this process when the session has none. Empty when neither works.
PLATFORM_EXPORT QString beepSoundPath();

} // namespace platform

#endif // PLATFORM_BEEPSOUND_H

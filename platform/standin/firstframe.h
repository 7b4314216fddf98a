#ifndef PLATFORM_FIRSTFRAME_H
#define PLATFORM_FIRSTFRAME_H

#include "platformexport.h"

#include <functional>

namespace platform {

// Runs fn on the main thread once the first frame is on screen, so that work
// the first frame does not need stays out of its way: at once when the frame
// is already there or no visible window waits for it; otherwise right after
// the frame, or after kFirstFrameWaitMs should none come. Main thread only.
// True when fn ran at once.
constexpr int kFirstFrameWaitMs = 2000;
PLATFORM_EXPORT bool runAfterFirstFrame(std::function<void()> fn);

} // namespace platform

#endif // PLATFORM_FIRSTFRAME_H

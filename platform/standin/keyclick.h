#ifndef PLATFORM_KEYCLICK_H
#define PLATFORM_KEYCLICK_H

#include "platformexport.h"

namespace platform {

// The framework's key click: posts a beep request (a key press of
// Qt::Key_Meta with the text "beep") to the application, delivered on its
// main thread, where the application's event filters see it. Any thread may
// call it; nothing is posted while the process has no application, nor while
// a click posted earlier has not reached the main thread yet.
PLATFORM_EXPORT void postKeyClick();

// The key state of an MCU key record that makes a click.
constexpr int kMcuKeyPressed = 1;

} // namespace platform

#endif // PLATFORM_KEYCLICK_H

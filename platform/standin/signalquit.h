#ifndef PLATFORM_SIGNALQUIT_H
#define PLATFORM_SIGNALQUIT_H

#include "platformexport.h"

namespace platform {

// Makes SIGINT and SIGTERM end the application's event loop: the handler only
// writes to an eventfd; a QSocketNotifier on the main thread reads it and calls
// QCoreApplication::quit(), so exec() returns and the normal teardown runs.
// A second signal that arrives before the loop has taken the first one (the
// loop is stuck) gets the default action, so the process still ends.
// Call on the main thread once a QCoreApplication exists; later calls do
// nothing. Returns whether the handlers are installed. When the application
// object is destroyed the default actions are restored.
PLATFORM_EXPORT bool installQuitOnSignals();

} // namespace platform

#endif // PLATFORM_SIGNALQUIT_H

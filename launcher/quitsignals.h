#ifndef QUITSIGNALS_H
#define QUITSIGNALS_H

// SIGTERM and SIGINT end the launcher's event loop, so that the teardown after
// exec() runs whichever component libraries are linked. The handler only writes
// to an eventfd; a socket notifier on the main thread reads it and quits the
// application. The first signal asks for that orderly end; any later one (the
// teardown is under way and hangs, or the loop never took the first) ends the
// process at once with the conventional status, 128 + the signal.
//
// Call once, on the main thread, after the application object exists and
// before the event loop runs; a signal that arrives before exec() ends the
// loop as soon as it starts. The handlers stay for the life of the process.
// False (with a warning) when the eventfd cannot be made: the signals keep
// their default action then.
bool installQuitSignals();

#endif // QUITSIGNALS_H

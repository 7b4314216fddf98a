#ifndef PLATFORM_SOUNDSERVER_H
#define PLATFORM_SOUNDSERVER_H

#include "platformexport.h"

#include <QString>

namespace platform {

// Whether the sound server answers, asked once per process (the first call
// connects to its socket; later calls give the same answer), with one line
// in the log either way. The socket is looked for where a PulseAudio client
// looks: PULSE_SERVER's entries, else $PULSE_RUNTIME_PATH/native or
// $XDG_RUNTIME_DIR/pulse/native, else the system-wide server's
// /run/pulse/native. A server on the network (tcp:) is taken as there
// without a try. Any thread.
PLATFORM_EXPORT bool soundServerReached();

// The first socket of that list that takes a connection, or empty when none
// does. Tried anew at every call; logs nothing.
PLATFORM_EXPORT QString findSoundServer(QString *tried = nullptr);

} // namespace platform

#endif // PLATFORM_SOUNDSERVER_H

#ifndef LAUNCHEREXPORTS_H
#define LAUNCHEREXPORTS_H

// What the launcher executable offers the component libraries it loads: the
// few calls they make back into it, and nothing else of the launcher. The
// executable exports these names; a library that must also run in a process
// without them looks them up at run time (dlsym) rather than linking them.

class QObject;
class QSound;

namespace tamoappframework {

class MainAppProtocolComm; // handed to the framework by ModuleManager::initModule

// The MCU link as the service manager and the home screen show it.
enum class McuLinkState : int {
    Absent,    // no connection: none made yet, the service is not there, or it ended; retrying
    Connected, // a trusted MCU service is connected
    Refused,   // the last peer found was not trusted; retrying
};
using McuLinkStateListener = void (*)(void *context, McuLinkState state);

// The state as people read it, on the service manager's status line and on
// the home screen alike.
inline const char *mcuLinkStateText(McuLinkState state)
{
    switch (state) {
    case McuLinkState::Connected:
        return "MCU service connected";
    case McuLinkState::Refused:
        return "MCU peer refused, retrying";
    case McuLinkState::Absent:
        break;
    }
    return "MCU service absent, retrying";
}

} // namespace tamoappframework

extern "C" {

// Hands one whole record to the link, as MainAppProtocolComm::SendData: 0
// when it was taken, -1 when not (no connection, no room).
int launcher_mcu_send(tamoappframework::MainAppProtocolComm *link, const void *data, int len);

// Listens to the link's state: called at once with the current state, then
// on the link's thread at each change. Listeners must be quick and must not
// add or remove listeners. False when there is no room (four at most).
bool launcher_mcu_watch_state(tamoappframework::MainAppProtocolComm *link,
                              tamoappframework::McuLinkStateListener listener, void *context);
// Once this returns the listener is not running and is not called again.
void launcher_mcu_unwatch_state(tamoappframework::MainAppProtocolComm *link,
                                tamoappframework::McuLinkStateListener listener, void *context);

// The beep filter: a QObject with the signal mcuPlayBeepSig() and the slot
// playSound(), or null in a process without one.
QObject *launcher_beep_filter();
// Where the beep filter keeps the sound it plays (null: none yet); null in a
// process without a filter.
QSound **launcher_beep_sound_slot();

} // extern "C"

#endif // LAUNCHEREXPORTS_H

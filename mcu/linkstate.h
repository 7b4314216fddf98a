#ifndef LINKSTATE_H
#define LINKSTATE_H

#include "launcherexports.h" // McuLinkState

#include <atomic>
#include <mutex>

namespace tamoappframework {

// The current state and who listens to its changes. Listeners are called
// under the board's lock, so they must be quick and must not add or remove
// listeners (post the state to your own thread).
class LinkStateBoard
{
public:
    using Listener = McuLinkStateListener;
    static constexpr int kMaxListeners = 4;

    McuLinkState current() const { return m_state.load(std::memory_order_acquire); }
    // Called at once, on the calling thread, with the current state, then at
    // each change. False when there is no room.
    bool add(Listener listener, void *context);
    // Once this returns the listener is not running and is not called again.
    void remove(Listener listener, void *context);
    // Tells every listener, when the state changes.
    void set(McuLinkState state);

private:
    struct Entry {
        Listener fn = nullptr;
        void *context = nullptr;
    };
    std::mutex m_mutex;
    Entry m_entries[kMaxListeners];
    std::atomic<McuLinkState> m_state{McuLinkState::Absent};
};

} // namespace tamoappframework

#endif // LINKSTATE_H

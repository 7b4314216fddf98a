#include "linkstate.h"

namespace tamoappframework {

bool LinkStateBoard::add(Listener listener, void *context)
{
    if (!listener)
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Entry &e : m_entries) {
        if (!e.fn) {
            e = Entry{listener, context};
            listener(context, current());
            return true;
        }
    }
    return false;
}

void LinkStateBoard::remove(Listener listener, void *context)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Entry &e : m_entries)
        if (e.fn == listener && e.context == context)
            e = Entry{};
}

void LinkStateBoard::set(McuLinkState state)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_state.load(std::memory_order_relaxed) == state)
        return;
    m_state.store(state, std::memory_order_release);
    for (const Entry &e : m_entries)
        if (e.fn)
            e.fn(e.context, state);
}

} // namespace tamoappframework

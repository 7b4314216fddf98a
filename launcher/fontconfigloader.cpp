#include "fontconfigloader.h"

#include "processlog.h"

#include <fontconfig/fontconfig.h>
#include <pthread.h>

#include <system_error>

using processlog::Priority;

FontConfigLoader::FontConfigLoader() : m_state(std::make_shared<State>())
{
    try {
        m_thread = std::thread([state = m_state] {
            // Loads the configuration and the font cache and makes them current.
            const bool loaded = FcInit() == FcTrue;
            std::lock_guard<std::mutex> lock(state->mutex);
            state->finished = true;
            state->loaded = loaded;
            state->done.notify_all();
        });
        ::pthread_setname_np(m_thread.native_handle(), "font-config");
    } catch (const std::system_error &e) {
        processlog::outf(Priority::Warning, "the font configuration is read on the main thread: %s\n", e.what());
        m_state->finished = true;
    }
}

FontConfigLoader::~FontConfigLoader()
{
    if (!m_thread.joinable())
        return;
    bool finished;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        finished = m_state->finished;
    }
    if (finished)
        m_thread.join();
    else
        m_thread.detach();
}

bool FontConfigLoader::waitLoaded(std::chrono::milliseconds bound)
{
    std::unique_lock<std::mutex> lock(m_state->mutex);
    if (!m_state->done.wait_for(lock, bound, [this] { return m_state->finished; })) {
        processlog::outf(Priority::Warning,
                         "the font configuration was not loaded after %lld ms: the first text waits for it\n",
                         static_cast<long long>(bound.count()));
        return false;
    }
    if (!m_state->loaded)
        processlog::outf(Priority::Warning, "the font configuration could not be loaded\n");
    return m_state->loaded;
}

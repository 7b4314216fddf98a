#ifndef FONTCONFIGLOADER_H
#define FONTCONFIGLOADER_H

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

// Loads the system's font configuration on a thread of its own while the main
// thread makes the application and runs the launch sequence. The home screen's
// first text needs it, and reading it (/etc/fonts and the some fifty files it
// includes) is the largest single step before the first frame: about a third
// of the start-up's instructions, done once per process by whichever thread
// first asks for a font.
//
// waitLoaded() must come before anything on the main thread asks for a font:
// two threads that ask at once both read the configuration (the library keeps
// one of the two), and the main thread then pays for it after all.
class FontConfigLoader
{
public:
    FontConfigLoader();
    // Waits for the thread only if it has finished; a thread still loading
    // (a font folder on a stalled mount) is left to end with the process.
    ~FontConfigLoader();

    FontConfigLoader(const FontConfigLoader &) = delete;
    FontConfigLoader &operator=(const FontConfigLoader &) = delete;

    // Waits at most `bound` for the configuration (main thread). False when it
    // is not loaded by then, or could not be: the first font then loads it on
    // the main thread, as without this class.
    bool waitLoaded(std::chrono::milliseconds bound);

private:
    // Shared with the thread, which may outlive this object.
    struct State {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool loaded = false;
    };
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

#endif // FONTCONFIGLOADER_H

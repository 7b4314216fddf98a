#include "modulemanager.h"

#include "beepsound.h"
#include "homescreen.h"
#include "homestate.h"
#include "infomodule.h"
#include "tracefmt.h"

// The link is the launcher's: reached through the entry points its executable exports.
#include "launcherexports.h"
#include "mcurecords.h"

#include <QCoreApplication>
#include <QHash>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <pthread.h>

namespace tamoappframework {

namespace {

// The registry is reached from any thread (findModule, registerModule) and
// lives for the process: never destroyed, so a call made while the process
// runs its static destructors still finds it.
struct Registry {
    std::mutex mutex;
    QHash<QString, QSharedPointer<Module>> modules; // guarded by mutex
};

Registry &registry()
{
    static auto *s_registry = new Registry;
    return *s_registry;
}

// The framework's heartbeat to the MCU: a thread of the framework's own that
// sends through the link handed to initModule, once a second.
//
// The thread is ended and joined from a post routine of the application
// (it runs inside ~QCoreApplication, while everything it uses still exists),
// and, for processes without an application object, from the destructor of a
// static guard; whichever comes first ends it, the other finds nothing to do.
class Heartbeat
{
public:
    static Heartbeat &instance()
    {
        static Heartbeat *s_heartbeat = new Heartbeat; // never destroyed; stop() ends the thread
        return *s_heartbeat;
    }

    void start(MainAppProtocolComm *link)
    {
        stop();
        if (!link)
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_link = link;
        m_stop = false;
        m_thread = std::thread([this] { loop(); });
    }

    void stop()
    {
        std::thread thread;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
            thread = std::move(m_thread);
        }
        m_wake.notify_all();
        if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
            thread.join();
        else if (thread.joinable())
            thread.detach();
    }

private:
    void loop()
    {
        pthread_setname_np(pthread_self(), "fw-heartbeat");
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            if (m_wake.wait_for(lock, std::chrono::milliseconds(1000), [this] { return m_stop; }))
                return;
            MainAppProtocolComm *link = m_link;
            lock.unlock();
            PLATFORM_TRACE_CALL("ModuleManager::sendHeartbeat");
            // Through the link's record path, so that only a heartbeat that
            // went out is counted: none while the MCU service is absent.
            McuShortMsg beat{};
            beat.kind = mcu::kKindShort;
            beat.msg = MSG_A2M_SHORT;
            beat.p1 = MSG_A2M_HEARTBEAT;
            if (launcher_mcu_send(link, &beat, int(sizeof beat)) == 0)
                platform::HomeState::instance().addHeartbeat();
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
    MainAppProtocolComm *m_link = nullptr;
    bool m_stop = false;
};

// Called by the link on its receive thread: the home state takes any thread.
void showLinkState(void *, McuLinkState state)
{
    platform::HomeState::instance().setLinkState(state);
}

void stopHeartbeat()
{
    Heartbeat::instance().stop();
}

struct HeartbeatGuard {
    ~HeartbeatGuard() { stopHeartbeat(); }
};

// Main thread only: the home screen has been asked for and is not shown yet.
bool s_homeScreenPending = false;

// What the framework sets up with its module manager: the home screen, from
// the event loop's first turn, so that the launcher's start-up (the MCU link
// above all) goes on without waiting for it. It needs the application object
// and its main thread.
void setUpUserInterface()
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        qCWarning(lcPlatform, "ModuleManager created before the application: no home screen");
        return;
    }
    auto onMainThread = [app] {
        s_homeScreenPending = true;
        QMetaObject::invokeMethod(
            app,
            [] {
                s_homeScreenPending = false;
                platform::HomeScreen::showHomeScreen();
            },
            Qt::QueuedConnection);
    };
    if (QThread::currentThread() == app->thread())
        onMainThread();
    else
        QMetaObject::invokeMethod(app, onMainThread, Qt::QueuedConnection);
}

} // namespace

QSharedPointer<ModuleManager> ModuleManager::self()
{
    // Holds the instance for the life of the process and is never destroyed
    // (any thread may still ask for it during exit); thread-safe first use.
    static const auto *s_instance = [] {
        auto *manager = new QSharedPointer<ModuleManager>(new ModuleManager);
        (*manager)->registerModule(QSharedPointer<Module>(new InfoModule));
        setUpUserInterface();
        return manager;
    }();
    PLATFORM_TRACE_CALL("ModuleManager::self");
    return *s_instance;
}

void ModuleManager::initModule(MainAppProtocolComm *link)
{
    PLATFORM_TRACE_CALL("ModuleManager::initModule", static_cast<const void *>(link));
    static HeartbeatGuard s_guard;
    static bool s_postRoutineAdded = false;
    if (!s_postRoutineAdded && QCoreApplication::instance()) {
        qAddPostRoutine(stopHeartbeat);
        s_postRoutineAdded = true;
    }
    if (!link)
        qCWarning(lcPlatform, "ModuleManager::initModule without a link: no heartbeat");
    Heartbeat::instance().start(link);
    platform::HomeState::instance().setLinkHandedOver(link != nullptr);
    // The home screen shows the link's own state, as the link reports it.
    static MainAppProtocolComm *s_watched = nullptr;
    if (link != s_watched) {
        if (s_watched)
            launcher_mcu_unwatch_state(s_watched, &showLinkState, nullptr);
        s_watched = link;
        if (link)
            launcher_mcu_watch_state(link, &showLinkState, nullptr);
    }
    // The framework owns the key beep: the launcher's filter raises the
    // request, the framework's sound answers it. The sound waits for the
    // first frame; while the home screen is still to come, so does the
    // hand-over (queued behind the screen, it finds the window waiting).
    QCoreApplication *app = QCoreApplication::instance();
    if (app && QThread::currentThread() == app->thread() && s_homeScreenPending)
        QMetaObject::invokeMethod(app, &platform::handBeepSound, Qt::QueuedConnection);
    else
        platform::handBeepSound();
}

ModuleManager::ModuleManager() = default;
ModuleManager::~ModuleManager() = default;

QSharedPointer<Module> ModuleManager::findModule(QString name)
{
    PLATFORM_TRACE_CALL("ModuleManager::findModule", name);
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.modules.value(name);
}

void ModuleManager::registerModule(QSharedPointer<Module> module)
{
    if (!module) {
        PLATFORM_TRACE_CALL("ModuleManager::registerModule", platform::Raw{QStringLiteral("null")});
        return;
    }
    PLATFORM_TRACE_CALL("ModuleManager::registerModule", module->name());
    // A module replaced here is destroyed, if this held its last handle,
    // after the lock is given back.
    QSharedPointer<Module> replaced;
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        replaced = r.modules.value(module->name());
        r.modules.insert(module->name(), module);
    }
}

void ModuleManager::unregisterModule(QString name)
{
    PLATFORM_TRACE_CALL("ModuleManager::unregisterModule", name);
    QSharedPointer<Module> gone;
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        gone = r.modules.take(name);
    }
    // As in registerModule: the module goes after the lock is given back.
}

void ModuleManager::serviceStageChanged(bool staged)
{
    PLATFORM_TRACE_CALL("ModuleManager::serviceStageChanged", staged);
    platform::HomeState::instance().setStagedStart(staged);
}

void ModuleManager::setServiceStage(int stage)
{
    PLATFORM_TRACE_CALL("ModuleManager::setServiceStage", stage);
    platform::HomeState::instance().setServiceStage(stage);
}

} // namespace tamoappframework

#include "activitymanager.h"

#include "deepcopy.h"
#include "tracefmt.h"

#include <mutex>

namespace tamoappframework {

namespace {

// Reached from the receive thread: never destroyed, so a call made while the
// process runs its static destructors still finds it.
struct ActivityState {
    std::mutex mutex;
    QString current = QStringLiteral("home"); // guarded by mutex
};

ActivityState &activityState()
{
    static auto *s_state = new ActivityState;
    return *s_state;
}

} // namespace

QSharedPointer<ActivityManager> ActivityManager::self()
{
    // Holds the instance for the life of the process and is never destroyed:
    // the receive thread may ask for it during exit. Thread-safe first use.
    static const auto *s_instance = new QSharedPointer<ActivityManager>(new ActivityManager);
    PLATFORM_TRACE_CALL("ActivityManager::self");
    return *s_instance;
}

ActivityManager::ActivityManager() = default;
ActivityManager::~ActivityManager() = default;

void ActivityManager::startActivity(QString name)
{
    PLATFORM_TRACE_CALL("ActivityManager::startActivity", name);
    ActivityState &state = activityState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.current = platform::deepCopy(name);
}

QString ActivityManager::currentActivity() const
{
    ActivityState &state = activityState();
    std::lock_guard<std::mutex> lock(state.mutex);
    return platform::deepCopy(state.current);
}

void ActivityManager::receiveParamFromMcu(unsigned int value)
{
    PLATFORM_TRACE_CALL("ActivityManager::receiveParamFromMcu", value);
}

void ActivityManager::receiveShortMsgFromMcu(McuShortMsg msg)
{
    // The kind word carries no defined value here: only msg, p1 and p2 are read.
    PLATFORM_TRACE_CALL("ActivityManager::receiveShortMsgFromMcu",
                        platform::Raw{QStringLiteral("msg=%1 p1=%2 p2=%3")
                                          .arg(uint32_t(msg.msg))
                                          .arg(uint32_t(msg.p1))
                                          .arg(uint32_t(msg.p2))});
}

void ActivityManager::receiveCanMsgFromMcu(tag_MCUSRV_TO_MAIN_APP_T msg)
{
    PLATFORM_TRACE_CALL("ActivityManager::receiveCanMsgFromMcu",
                        platform::Raw{platform::describeRecord(&msg, int(sizeof msg))});
}

} // namespace tamoappframework

#include "activitymanager.h"

#include "deepcopy.h"
#include "tracefmt.h"

#include <mutex>

namespace tamoappframework {

namespace {
std::mutex s_mutex;
QString s_currentActivity = QStringLiteral("home"); // guarded by s_mutex
} // namespace

QSharedPointer<ActivityManager> ActivityManager::self()
{
    // Holds the instance for the life of the process; thread-safe first use.
    static const QSharedPointer<ActivityManager> s_instance(new ActivityManager);
    PLATFORM_TRACE_CALL("ActivityManager::self");
    return s_instance;
}

ActivityManager::ActivityManager() = default;
ActivityManager::~ActivityManager() = default;

void ActivityManager::startActivity(QString name)
{
    PLATFORM_TRACE_CALL("ActivityManager::startActivity", name);
    std::lock_guard<std::mutex> lock(s_mutex);
    s_currentActivity = platform::deepCopy(name);
}

QString ActivityManager::currentActivity() const
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return platform::deepCopy(s_currentActivity);
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

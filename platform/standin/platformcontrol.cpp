#include "platformcontrol.h"

#include "deepcopy.h"
#include "homestate.h"
#include "tracefmt.h"

#include <atomic>
#include <mutex>

#ifndef LAUNCHER_VERSION
#error "LAUNCHER_VERSION must be defined by the build"
#endif

struct PlatformControl::State {
    mutable std::mutex mutex;
    QString customerVer = QStringLiteral(LAUNCHER_VERSION);
    QString sdkVer = QStringLiteral("Qt ") + QString::fromLatin1(qVersion());
    QString mcuVersion;
};

namespace {
std::atomic<bool> s_available{true};
}

PlatformControl *PlatformControl::getInstance()
{
    // Never deleted: callers keep the plain pointer for the life of the process.
    static PlatformControl *s_instance = new PlatformControl;
    PLATFORM_TRACE_CALL("PlatformControl::getInstance");
    return s_available.load() ? s_instance : nullptr;
}

PlatformControl::PlatformControl() : d(new State) {}

PlatformControl::~PlatformControl()
{
    delete d;
}

void PlatformControl::setAvailable(bool available)
{
    PLATFORM_TRACE_CALL("PlatformControl::setAvailable", available);
    s_available.store(available);
}

QString PlatformControl::getCustomerVer()
{
    PLATFORM_TRACE_CALL("PlatformControl::getCustomerVer");
    std::lock_guard<std::mutex> lock(d->mutex);
    return platform::deepCopy(d->customerVer);
}

QString PlatformControl::getSDKVer()
{
    PLATFORM_TRACE_CALL("PlatformControl::getSDKVer");
    std::lock_guard<std::mutex> lock(d->mutex);
    return platform::deepCopy(d->sdkVer);
}

void PlatformControl::setMcuVersion(QString const &version)
{
    PLATFORM_TRACE_CALL("PlatformControl::setMcuVersion", version);
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->mcuVersion = platform::deepCopy(version);
    }
    platform::HomeState::instance().setMcuVersion(version);
}

QString PlatformControl::mcuVersion() const
{
    PLATFORM_TRACE_CALL("PlatformControl::mcuVersion");
    std::lock_guard<std::mutex> lock(d->mutex);
    return platform::deepCopy(d->mcuVersion);
}

void PlatformControl::setVersions(QString const &customer, QString const &sdk)
{
    PLATFORM_TRACE_CALL("PlatformControl::setVersions", customer, sdk);
    std::lock_guard<std::mutex> lock(d->mutex);
    d->customerVer = platform::deepCopy(customer);
    d->sdkVer = platform::deepCopy(sdk);
}

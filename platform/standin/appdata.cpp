#include "appdata.h"

#include "deepcopy.h"
#include "homestate.h"
#include "tracefmt.h"

#include <atomic>
#include <mutex>

struct AppData::State {
    mutable std::mutex mutex;
    int curSource = SOURCE_ID_NONE;
    int lastSource = SOURCE_ID_NONE;
    int curAudioSource = SOURCE_ID_NONE;
    bool isFirstRun = false;
    QString uuid;
    short mcuType = 0;
    bool audioInitOK = false;
};

namespace {
std::atomic<bool> s_available{true};
}

AppData *AppData::GetInstance()
{
    // Never deleted: callers keep the plain pointer for the life of the process.
    static AppData *s_instance = new AppData;
    PLATFORM_TRACE_CALL("AppData::GetInstance");
    return s_available.load() ? s_instance : nullptr;
}

AppData::AppData() : d(new State) {}

AppData::~AppData()
{
    delete d;
}

void AppData::setAvailable(bool available)
{
    PLATFORM_TRACE_CALL("AppData::setAvailable", available);
    s_available.store(available);
}

int AppData::curSource() const
{
    PLATFORM_TRACE_CALL("AppData::curSource");
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->curSource;
}

void AppData::setCurSource(int id)
{
    PLATFORM_TRACE_CALL("AppData::setCurSource", id);
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->curSource = id;
    }
    platform::HomeState::instance().setCurrentSource(id);
}

int AppData::lastSource() const
{
    PLATFORM_TRACE_CALL("AppData::lastSource");
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->lastSource;
}

void AppData::setLastSource(int id)
{
    PLATFORM_TRACE_CALL("AppData::setLastSource", id);
    std::lock_guard<std::mutex> lock(d->mutex);
    d->lastSource = id;
}

int AppData::curAudioSource() const
{
    PLATFORM_TRACE_CALL("AppData::curAudioSource");
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->curAudioSource;
}

void AppData::setCurAudioSource(int id)
{
    PLATFORM_TRACE_CALL("AppData::setCurAudioSource", id);
    std::lock_guard<std::mutex> lock(d->mutex);
    d->curAudioSource = id;
}

bool AppData::isFirstRun() const
{
    PLATFORM_TRACE_CALL("AppData::isFirstRun");
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->isFirstRun;
}

void AppData::setIsFirstRun(bool firstRun)
{
    PLATFORM_TRACE_CALL("AppData::setIsFirstRun", firstRun);
    std::lock_guard<std::mutex> lock(d->mutex);
    d->isFirstRun = firstRun;
}

bool AppData::isAudioSource(tag_SOURCE_ID_T id)
{
    PLATFORM_TRACE_CALL("AppData::isAudioSource", int(id));
    switch (id) {
    case SOURCE_ID_RADIO:
    case SOURCE_ID_USB_MUSIC:
    case SOURCE_ID_BT_MUSIC:
    case SOURCE_ID_AUX:
    case SOURCE_ID_USB_VIDEO:
    case SOURCE_ID_PROJECTION:
    case SOURCE_ID_DAB:
        return true;
    default:
        return false;
    }
}

bool AppData::isDirectSwitchAudioSrc(tag_SOURCE_ID_T id)
{
    PLATFORM_TRACE_CALL("AppData::isDirectSwitchAudioSrc", int(id));
    switch (id) {
    case SOURCE_ID_RADIO:
    case SOURCE_ID_USB_MUSIC:
    case SOURCE_ID_BT_MUSIC:
    case SOURCE_ID_AUX:
    case SOURCE_ID_DAB:
        return true;
    default:
        return false;
    }
}

QString AppData::uuid() const
{
    PLATFORM_TRACE_CALL("AppData::uuid");
    std::lock_guard<std::mutex> lock(d->mutex);
    return platform::deepCopy(d->uuid);
}

void AppData::setUUID(QString uuid)
{
    PLATFORM_TRACE_CALL("AppData::setUUID", uuid);
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->uuid = platform::deepCopy(uuid);
    }
    platform::HomeState::instance().setUuid(uuid);
}

short AppData::mcuType() const
{
    PLATFORM_TRACE_CALL("AppData::mcuType");
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->mcuType;
}

void AppData::setMcuType(short type)
{
    PLATFORM_TRACE_CALL("AppData::setMcuType", type);
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->mcuType = type;
    }
    platform::HomeState::instance().setMcuType(type);
}

bool AppData::AudioInitOK() const
{
    PLATFORM_TRACE_CALL("AppData::AudioInitOK");
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->audioInitOK;
}

void AppData::setAudioInitOK(bool ok)
{
    PLATFORM_TRACE_CALL("AppData::setAudioInitOK", ok);
    std::lock_guard<std::mutex> lock(d->mutex);
    d->audioInitOK = ok;
}

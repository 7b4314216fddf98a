#include "homestate.h"

#include <QMutexLocker>

namespace platform {

HomeState &HomeState::instance()
{
    // Never destroyed: component threads may update it during process exit.
    static HomeState *s_state = new HomeState;
    return *s_state;
}

HomeState::HomeState() = default;

HomeSnapshot HomeState::snapshot()
{
    QMutexLocker lock(&m_mutex);
    m_noticePending.store(false);
    return m_state;
}

template<typename F> void HomeState::update(F f)
{
    {
        QMutexLocker lock(&m_mutex);
        f(m_state);
    }
    if (!m_noticePending.exchange(true))
        emit changed();
}

void HomeState::setLanguage(const QString &language)
{
    update([&](HomeSnapshot &s) { s.language = language; });
}

void HomeState::setRightDrive(bool rightDrive)
{
    update([&](HomeSnapshot &s) { s.rightDrive = rightDrive; });
}

void HomeState::setServiceStage(int stage)
{
    update([&](HomeSnapshot &s) { s.serviceStage = stage; });
}

void HomeState::setStagedStart(bool staged)
{
    update([&](HomeSnapshot &s) { s.stagedStart = staged; });
}

void HomeState::setAllServicesReady(bool ready)
{
    update([&](HomeSnapshot &s) { s.allServicesReady = ready; });
}

void HomeState::setMcuType(int type)
{
    update([&](HomeSnapshot &s) {
        s.mcuTypeKnown = true;
        s.mcuType = type;
    });
}

void HomeState::setMcuVersion(const QString &version)
{
    update([&](HomeSnapshot &s) { s.mcuVersion = version; });
}

void HomeState::setUuid(const QString &uuid)
{
    update([&](HomeSnapshot &s) { s.uuid = uuid; });
}

void HomeState::setCurrentSource(int source)
{
    update([&](HomeSnapshot &s) { s.currentSource = source; });
}

void HomeState::setLastKey(int key, int state)
{
    update([&](HomeSnapshot &s) {
        s.keySeen = true;
        s.lastKey = key;
        s.lastKeyState = state;
    });
}

void HomeState::addHeartbeat()
{
    update([](HomeSnapshot &s) { ++s.heartbeats; });
}

void HomeState::setLinkHandedOver(bool handedOver)
{
    update([&](HomeSnapshot &s) { s.linkHandedOver = handedOver; });
}

} // namespace platform

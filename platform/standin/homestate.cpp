#include "homestate.h"

#include "deepcopy.h"

#include <QCoreApplication>
#include <QThread>

namespace platform {

HomeState &HomeState::instance()
{
    // Never destroyed: component threads may update it during process exit.
    static HomeState *s_state = [] {
        auto *state = new HomeState;
        // Made by a component thread that may end: belong to the main thread instead.
        if (QCoreApplication *app = QCoreApplication::instance())
            state->moveToThread(app->thread());
        return state;
    }();
    return *s_state;
}

HomeState::HomeState() = default;

HomeSnapshot HomeState::snapshot()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_noticePending.store(false);
    HomeSnapshot copy = m_state;
    copy.language = deepCopy(m_state.language);
    copy.mcuVersion = deepCopy(m_state.mcuVersion);
    copy.uuid = deepCopy(m_state.uuid);
    return copy;
}

template<typename F> void HomeState::update(F f)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        f(m_state);
    }
    if (!m_noticePending.exchange(true))
        emit changed();
}

void HomeState::setLanguage(const QString &language)
{
    update([&](HomeSnapshot &s) { s.language = deepCopy(language); });
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
    update([&](HomeSnapshot &s) { s.mcuVersion = deepCopy(version); });
}

void HomeState::setUuid(const QString &uuid)
{
    update([&](HomeSnapshot &s) { s.uuid = deepCopy(uuid); });
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

void HomeState::setLinkState(tamoappframework::McuLinkState state)
{
    update([&](HomeSnapshot &s) { s.linkState = state;
        s.linkStateKnown = true;
    });
}

} // namespace platform

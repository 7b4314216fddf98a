#ifndef PLATFORM_HOMESTATE_H
#define PLATFORM_HOMESTATE_H

#include "launcherexports.h"
#include "platformexport.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <mutex>

namespace platform {

// What the launcher has handed to the outside components, as the home screen shows it.
struct HomeSnapshot {
    QString language;
    bool rightDrive = false;
    int serviceStage = 0;         // 0 none yet, 1 direct stage up, 2 all stages up
    bool stagedStart = true;      // as last told by serviceStageChanged
    bool allServicesReady = false;
    bool mcuTypeKnown = false;
    int mcuType = 0;
    QString mcuVersion;
    QString uuid;
    int currentSource = 0;
    bool keySeen = false;
    int lastKey = 0;
    int lastKeyState = 0;
    quint64 heartbeats = 0;       // heartbeats the framework has sent to the MCU (that went out)
    bool linkHandedOver = false;  // ModuleManager::initModule has had a link
    bool linkStateKnown = false;  // the link has reported its state
    tamoappframework::McuLinkState linkState = tamoappframework::McuLinkState::Absent;
};

// The home screen's model: a thread-safe state that any thread may update.
// changed() is emitted from the updating thread, at most once until the next
// snapshot(), so a burst of updates (key presses, heartbeats) costs the screen
// one refresh; connect to it with a queued connection from the main thread.
class PLATFORM_EXPORT HomeState : public QObject
{
    Q_OBJECT
public:
    static HomeState &instance();

    // The current values; re-arms changed().
    HomeSnapshot snapshot();

    void setLanguage(const QString &language);
    void setRightDrive(bool rightDrive);
    void setServiceStage(int stage);
    void setStagedStart(bool staged);
    void setAllServicesReady(bool ready);
    void setMcuType(int type);
    void setMcuVersion(const QString &version);
    void setUuid(const QString &uuid);
    void setCurrentSource(int source);
    void setLastKey(int key, int state);
    void addHeartbeat();
    void setLinkHandedOver(bool handedOver);
    void setLinkState(tamoappframework::McuLinkState state);

signals:
    void changed();

private:
    HomeState();
    template<typename F> void update(F f);

    std::mutex m_mutex;
    HomeSnapshot m_state;
    std::atomic<bool> m_noticePending{false};
};

} // namespace platform

#endif // PLATFORM_HOMESTATE_H

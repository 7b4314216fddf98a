#ifndef MODULEMANAGER_H
#define MODULEMANAGER_H

#include "platformexport.h"

#include <QSharedPointer>
#include <QString>

namespace tamoappframework {

class MainAppProtocolComm;
class Module;

// The framework's module registry. One process-wide instance, reached through
// self(); the instance outlives every handle.
class PLATFORM_EXPORT ModuleManager
{
public:
    static QSharedPointer<ModuleManager> self();

    // Hands the MCU link to the framework once it is started and before the
    // application-ready notice is sent. The framework's libraries send their MCU
    // commands through the link's public senders from then on, from any thread.
    static void initModule(MainAppProtocolComm *link);

    virtual ~ModuleManager();

    // The module of that name, or a null handle.
    virtual QSharedPointer<Module> findModule(QString name);
    // Adds a module to the registry (replacing one of the same name).
    virtual void registerModule(QSharedPointer<Module> module);
    // Called right after each service stage: true on the staged start, false on the direct one.
    virtual void serviceStageChanged(bool staged);
    // How far the service start-up has come: 1 after stage 0, 2 after stage 1.
    virtual void setServiceStage(int stage);
    // Takes the module of that name out of the registry; no such module: nothing happens.
    virtual void unregisterModule(QString name);

protected:
    ModuleManager();

private:
    Q_DISABLE_COPY(ModuleManager)
};

} // namespace tamoappframework

#endif // MODULEMANAGER_H

#ifndef PLATFORM_INFOMODULE_H
#define PLATFORM_INFOMODULE_H

#include "module.h"

#include <QObject>

#include <memory>

namespace tamoappframework {

// The object of the framework's "info" module: told when every service is up.
class InfoModuleObject : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

public slots:
    void allServiceReady();
};

// The framework's "info" module, registered when the module manager is created.
class InfoModule : public Module
{
public:
    InfoModule();
    ~InfoModule() override;

    QObject *moduleObject() override;

private:
    InfoModuleObject *m_object;
};

} // namespace tamoappframework

#endif // PLATFORM_INFOMODULE_H

#include "module.h"

#include "homestate.h"
#include "infomodule.h"
#include "tracefmt.h"

#include <QCoreApplication>
#include <QThread>

namespace tamoappframework {

Module::Module(const QString &name) : m_name(name) {}

Module::~Module() = default;

QObject *Module::moduleObject()
{
    PLATFORM_TRACE_CALL("Module::moduleObject", m_name);
    return nullptr;
}

QString Module::name() const
{
    return m_name;
}

void InfoModuleObject::allServiceReady()
{
    PLATFORM_TRACE_CALL("InfoModule::allServiceReady");
    platform::HomeState::instance().setAllServicesReady(true);
}

InfoModule::InfoModule() : Module(QStringLiteral("info")), m_object(new InfoModuleObject)
{
    m_object->setObjectName(QStringLiteral("info"));
    // Its slot runs on the main thread, whichever thread made the module.
    if (QCoreApplication *app = QCoreApplication::instance())
        if (m_object->thread() != app->thread())
            m_object->moveToThread(app->thread());
}

InfoModule::~InfoModule()
{
    delete m_object;
}

QObject *InfoModule::moduleObject()
{
    PLATFORM_TRACE_CALL("Module::moduleObject", name());
    return m_object;
}

} // namespace tamoappframework

#include "mainstart.h"

#include "mainappprotocolcomm.h"
#include "sysconfig.h"
#include "systemstart.h"

#include "activitymanager.h"
#include "implicitrulemanager.h"
#include "modulemanager.h"

#include <QDebug>

using tamoappframework::ActivityManager;
using tamoappframework::ImplicitRuleManager;
using tamoappframework::MainAppProtocolComm;
using tamoappframework::ModuleManager;

MainStart::MainStart()
{
    qDebug("---%s---", "MainStart");
}

MainStart::~MainStart()
{
    qDebug("%s ", "~MainStart");
}

void MainStart::start()
{
    qDebug("%s", __FUNCTION__);

    SysConfig sysConfig;
    sysConfig.exeDisConfig();

    // The managers must exist before the MCU link can dispatch to them; only the
    // module manager's handle is needed beyond this point.
    ImplicitRuleManager::self();
    QSharedPointer<ModuleManager> moduleManager = ModuleManager::self();
    ActivityManager::self();

    MainAppProtocolComm *link = MainAppProtocolComm::GetInstance();
    link->Start();
    ModuleManager::initModule(link);
    link->AppReady();

    // Deletes itself once the staging is over.
    SystemStartup *startup = new SystemStartup(nullptr);
    startup->bgStart();

    qDebug("UI is %s \n", "UI_TAVREN_1024_600");
}

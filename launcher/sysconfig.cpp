#include "sysconfig.h"

#include "datadefault.h"
#include "datasavecontrol.h"
#include "setupstridconst.h"
#include "syslanguage.h"
#include "uimanager.h"

#include <QDebug>
#include <QVariant>

SysConfig::SysConfig()
{
    DataSaveControl::initQSettingPath();
    DataDefault::initDataDefault();
}

SysConfig::~SysConfig() = default;

void SysConfig::exeDisConfig()
{
    exeLanguage();
    exeLayout();
}

void SysConfig::exeLanguage()
{
    const QString def = DataDefault::getDefault(SetupStrIdConst::setupSysLang).toString();
    const QString language =
        DataSaveControl::readSettingData(SetupStrIdConst::setupSysLang, QVariant(def), QString())
            .toString();
    qDebug() << "read language:" << language;
    SysLanguage::exeLanguage(language);
}

void SysConfig::exeLayout()
{
    const bool rightDrive =
        DataSaveControl::readSettingData(SetupStrIdConst::setupRightDrive, QVariant(false), QString())
            .toBool();
    qDebug() << "read right mode:" << rightDrive;
    tamoappframework::UIManager::setRightDrive(rightDrive, true);
}

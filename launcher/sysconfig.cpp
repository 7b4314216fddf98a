#include "sysconfig.h"

#include "datadefault.h"
#include "datasavecontrol.h"
#include "setupstridconst.h"
#include "syslanguage.h"
#include "uimanager.h"
#include "usbcontrol.h"

#include <QDebug>
#include <QTime>
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

void SysConfig::exeUsbSetting()
{
    qDebug() << QTime::currentTime();
    qDebug() << "SysConfig: exeUsbSetting";
    UsbControl *usb = UsbControl::getInstance();
    // The two time records bracket the lookup above: the log shows what it cost.
    qDebug() << QTime::currentTime();

    const QString androidDefault =
        DataDefault::getDefault(SetupStrIdConst::setupAndroidDevice).toString();
    const QString androidMode =
        DataSaveControl::readSettingData(SetupStrIdConst::setupAndroidDevice, QVariant(androidDefault),
                                         QString())
            .toString();
    const QString appleDefault = DataDefault::getDefault(SetupStrIdConst::setupAppleDevice).toString();
    const QString appleMode =
        DataSaveControl::readSettingData(SetupStrIdConst::setupAppleDevice, QVariant(appleDefault),
                                         QString())
            .toString();
    const bool carlifeDefault = DataDefault::getDefault(SetupStrIdConst::setupCarlifeDevice).toBool();
    const bool carlife =
        DataSaveControl::readSettingData(SetupStrIdConst::setupCarlifeDevice, QVariant(carlifeDefault),
                                         QString())
            .toBool();
    const bool webLinkDefault = DataDefault::getDefault(SetupStrIdConst::setupWebLinkDevice).toBool();
    const bool webLink =
        DataSaveControl::readSettingData(SetupStrIdConst::setupWebLinkDevice, QVariant(webLinkDefault),
                                         QString())
            .toBool();

    // WebLink, then CarLife, take both phone kinds; otherwise each kind gets its
    // own saved mode, and an empty one is left alone.
    if (webLink) {
        exeAndroidDevice(SetupStrIdConst::setupWebLinkDevice);
        exeAppleDevice(SetupStrIdConst::setupWebLinkDevice);
    } else if (carlife) {
        exeAndroidDevice(SetupStrIdConst::setupCarlifeDevice);
        exeAppleDevice(SetupStrIdConst::setupCarlifeDevice);
    } else {
        if (!androidMode.isEmpty())
            exeAndroidDevice(androidMode);
        if (!appleMode.isEmpty())
            exeAppleDevice(appleMode);
    }

    usb->startup();
}

void SysConfig::exeAppleDevice(QString mode)
{
    UsbControl *usb = UsbControl::getInstance();
    if (mode == SetupStrIdConst::setupCarplay)
        usb->setAppleDeviceMode(UsbControl::AppleCarplay);
    else if (mode == SetupStrIdConst::setupCarlifeDevice)
        usb->setAppleDeviceMode(UsbControl::AppleCarlife);
    else if (mode == SetupStrIdConst::setupIpod)
        usb->setAppleDeviceMode(UsbControl::AppleIpod);
    else if (mode == SetupStrIdConst::setupiOSMirror)
        usb->setAppleDeviceMode(UsbControl::AppleMirror);
    else if (mode == SetupStrIdConst::setupWebLinkDevice)
        usb->setAppleDeviceMode(UsbControl::AppleWebLink);
}

void SysConfig::exeAndroidDevice(QString mode)
{
    UsbControl *usb = UsbControl::getInstance();
    // An unknown mode leaves the Android mode alone but still sets the AOA
    // time-out action.
    bool aoaFallBack = true;
    if (mode == SetupStrIdConst::setupAndroidAuto) {
        usb->setAndroidDeviceMode(UsbControl::AndroidAuto);
    } else if (mode == SetupStrIdConst::setupAutoLink) {
        usb->setAndroidDeviceMode(UsbControl::AndroidAutoLink);
        aoaFallBack = false;
    } else if (mode == SetupStrIdConst::setupCarlifeDevice) {
        usb->setAndroidDeviceMode(UsbControl::AndroidCarlife);
    } else if (mode == SetupStrIdConst::setupWebLinkDevice) {
        usb->setAndroidDeviceMode(UsbControl::AndroidWebLink);
        aoaFallBack = false;
    }
    usb->configAoaTimeoutAction(aoaFallBack);
}

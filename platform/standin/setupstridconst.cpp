#include "setupstridconst.h"

// Setting keys are the INI keys of the store; the mode identifiers are the
// values stored under the phone-mode keys.
const QString SetupStrIdConst::setupSysLang = QStringLiteral("sysLang");
const QString SetupStrIdConst::setupRightDrive = QStringLiteral("rightDrive");
const QString SetupStrIdConst::setupAndroidDevice = QStringLiteral("androidDevice");
const QString SetupStrIdConst::setupAppleDevice = QStringLiteral("appleDevice");
const QString SetupStrIdConst::setupCarlifeDevice = QStringLiteral("carlifeDevice");
const QString SetupStrIdConst::setupWebLinkDevice = QStringLiteral("webLinkDevice");
const QString SetupStrIdConst::setupCarplay = QStringLiteral("carplay");
const QString SetupStrIdConst::setupIpod = QStringLiteral("ipod");
const QString SetupStrIdConst::setupiOSMirror = QStringLiteral("iOSMirror");
const QString SetupStrIdConst::setupAndroidAuto = QStringLiteral("androidAuto");
const QString SetupStrIdConst::setupAutoLink = QStringLiteral("autoLink");
const QString SetupStrIdConst::setupSyncRdsTime = QStringLiteral("syncRdsTime");
const QString SetupStrIdConst::setupSysBeep = QStringLiteral("sysBeep");

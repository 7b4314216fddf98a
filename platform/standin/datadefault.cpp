#include "datadefault.h"

#include "setupstridconst.h"
#include "tracefmt.h"

#include <QHash>

namespace {

// Built on first use, after every static QString of SetupStrIdConst exists.
// Read from the receive thread too: never destroyed, so a read made while the
// process runs its static destructors still finds the table.
const QHash<QString, QVariant> &defaults()
{
    static const auto *s_defaults = new QHash<QString, QVariant>{
        {SetupStrIdConst::setupSysLang, QStringLiteral("en_US")},
        {SetupStrIdConst::setupRightDrive, false},
        // The phone-mode keys hold a mode identifier; by default the phone's
        // own projection is used.
        {SetupStrIdConst::setupAndroidDevice, SetupStrIdConst::setupAndroidAuto},
        {SetupStrIdConst::setupAppleDevice, SetupStrIdConst::setupCarplay},
        {SetupStrIdConst::setupCarlifeDevice, false},
        {SetupStrIdConst::setupWebLinkDevice, false},
        // Mode identifiers used as flags: not chosen unless set.
        {SetupStrIdConst::setupCarplay, false},
        {SetupStrIdConst::setupIpod, false},
        {SetupStrIdConst::setupiOSMirror, false},
        {SetupStrIdConst::setupAndroidAuto, false},
        {SetupStrIdConst::setupAutoLink, false},
        // Radio-data time is often wrong on air: the MCU clock is trusted by default.
        {SetupStrIdConst::setupSyncRdsTime, false},
        {SetupStrIdConst::setupSysBeep, true},
    };
    return *s_defaults;
}

} // namespace

bool DataDefault::initDataDefault()
{
    PLATFORM_TRACE_CALL("DataDefault::initDataDefault");
    return !defaults().isEmpty();
}

QVariant DataDefault::getDefault(QString key)
{
    PLATFORM_TRACE_CALL("DataDefault::getDefault", key);
    return defaults().value(key);
}

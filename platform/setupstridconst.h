#ifndef SETUPSTRIDCONST_H
#define SETUPSTRIDCONST_H

#include "platformexport.h"

#include <QString>

// Setting keys and phone-projection mode identifiers. Some serve as both.
class PLATFORM_EXPORT SetupStrIdConst
{
public:
    static const QString setupSysLang;
    static const QString setupRightDrive;
    static const QString setupAndroidDevice;
    static const QString setupAppleDevice;
    static const QString setupCarlifeDevice;
    static const QString setupWebLinkDevice;
    static const QString setupCarplay;
    static const QString setupIpod;
    static const QString setupiOSMirror;
    static const QString setupAndroidAuto;
    static const QString setupAutoLink;
    static const QString setupSyncRdsTime;
    static const QString setupSysBeep;
};

#endif // SETUPSTRIDCONST_H

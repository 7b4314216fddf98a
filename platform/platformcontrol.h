#ifndef PLATFORMCONTROL_H
#define PLATFORMCONTROL_H

#include "platformexport.h"

#include <QString>

// Platform information: software versions and the MCU firmware version.
class PLATFORM_EXPORT PlatformControl
{
public:
    // The platform object, or null while the component is not available.
    static PlatformControl *getInstance();

    QString getCustomerVer();
    QString getSDKVer();
    void setMcuVersion(QString const &version);
    QString mcuVersion() const;

    // Controls of the component itself: whether getInstance() yields the object,
    // and the version texts it reports (the build's own by default).
    static void setAvailable(bool available);
    void setVersions(QString const &customer, QString const &sdk);

private:
    PlatformControl();
    ~PlatformControl();
    struct State;
    State *d;
};

#endif // PLATFORMCONTROL_H

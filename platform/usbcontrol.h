#ifndef USBCONTROL_H
#define USBCONTROL_H

#include "platformexport.h"

// The USB port's phone-projection modes.
class PLATFORM_EXPORT UsbControl
{
public:
    enum AppleDeviceMode : int {
        AppleCarplay = 0,
        AppleCarlife = 1,
        AppleIpod = 2,
        AppleMirror = 3,
        AppleWebLink = 4,
    };
    enum AndroidDeviceMode : int {
        AndroidAuto = 0,
        AndroidAutoLink = 1,
        AndroidCarlife = 2,
        AndroidMirror = 3,
        AndroidWebLink = 4,
    };

    static UsbControl *getInstance();

    void setAppleDeviceMode(UsbControl::AppleDeviceMode mode);
    void setAndroidDeviceMode(UsbControl::AndroidDeviceMode mode);
    void configAoaTimeoutAction(bool fallBack);
    void startup();

    AppleDeviceMode appleDeviceMode() const;
    AndroidDeviceMode androidDeviceMode() const;
    bool isStarted() const;

private:
    UsbControl();
    ~UsbControl();
    struct State;
    State *d;
};

#endif // USBCONTROL_H

#ifndef SYSCONFIG_H
#define SYSCONFIG_H

#include <QString>

// Applies the saved system configuration. Constructing one prepares the
// settings store and its defaults for every later read.
class SysConfig
{
public:
    SysConfig();
    ~SysConfig();

    // The interface language, then the right-hand-drive layout.
    void exeDisConfig();
    void exeLanguage();
    void exeLayout();

    // Puts the USB port into the saved phone-projection modes and starts the USB control.
    void exeUsbSetting();
    void exeAppleDevice(QString mode);
    void exeAndroidDevice(QString mode);
};

#endif // SYSCONFIG_H

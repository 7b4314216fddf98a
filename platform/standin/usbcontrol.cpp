#include "usbcontrol.h"

#include "tracefmt.h"

#include <mutex>

struct UsbControl::State {
    mutable std::mutex mutex;
    AppleDeviceMode apple = AppleCarplay;
    AndroidDeviceMode android = AndroidAuto;
    bool aoaFallBack = false;
    bool started = false;
};

UsbControl *UsbControl::getInstance()
{
    // Never deleted: callers keep the plain pointer for the life of the process.
    static UsbControl *s_instance = new UsbControl;
    return s_instance;
}

UsbControl::UsbControl() : d(new State) {}

UsbControl::~UsbControl()
{
    delete d;
}

void UsbControl::setAppleDeviceMode(UsbControl::AppleDeviceMode mode)
{
    PLATFORM_TRACE_CALL("UsbControl::setAppleDeviceMode", int(mode));
    if (int(mode) < AppleCarplay || int(mode) > AppleWebLink) {
        qCWarning(lcPlatform, "setAppleDeviceMode(%d): no such mode, ignored", int(mode));
        return;
    }
    std::lock_guard<std::mutex> lock(d->mutex);
    d->apple = mode;
}

void UsbControl::setAndroidDeviceMode(UsbControl::AndroidDeviceMode mode)
{
    PLATFORM_TRACE_CALL("UsbControl::setAndroidDeviceMode", int(mode));
    if (int(mode) < AndroidAuto || int(mode) > AndroidWebLink) {
        qCWarning(lcPlatform, "setAndroidDeviceMode(%d): no such mode, ignored", int(mode));
        return;
    }
    std::lock_guard<std::mutex> lock(d->mutex);
    d->android = mode;
}

void UsbControl::configAoaTimeoutAction(bool fallBack)
{
    PLATFORM_TRACE_CALL("UsbControl::configAoaTimeoutAction", fallBack);
    std::lock_guard<std::mutex> lock(d->mutex);
    d->aoaFallBack = fallBack;
}

void UsbControl::startup()
{
    PLATFORM_TRACE_CALL("UsbControl::startup");
    std::lock_guard<std::mutex> lock(d->mutex);
    d->started = true;
}

UsbControl::AppleDeviceMode UsbControl::appleDeviceMode() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->apple;
}

UsbControl::AndroidDeviceMode UsbControl::androidDeviceMode() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->android;
}

bool UsbControl::isStarted() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->started;
}

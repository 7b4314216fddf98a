#ifndef UIMANAGER_H
#define UIMANAGER_H

#include "platformexport.h"

namespace tamoappframework {

// Layout control of the framework's user interface.
class PLATFORM_EXPORT UIManager
{
public:
    // Right-hand-drive (mirrored) layout on or off; apply: take effect now.
    // Works before any framework singleton exists.
    static void setRightDrive(bool rightDrive, bool apply);
    static bool isRightDrive();
};

} // namespace tamoappframework

#endif // UIMANAGER_H

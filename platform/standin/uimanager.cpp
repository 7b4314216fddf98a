#include "uimanager.h"

#include "homestate.h"
#include "tracefmt.h"

#include <atomic>

namespace tamoappframework {

namespace {
std::atomic<bool> s_rightDrive{false};
}

// apply false only remembers the choice; the layout follows at the next call
// with apply true. Needs no framework singleton.
void UIManager::setRightDrive(bool rightDrive, bool apply)
{
    PLATFORM_TRACE_CALL("UIManager::setRightDrive", rightDrive, apply);
    s_rightDrive.store(rightDrive);
    if (apply)
        platform::HomeState::instance().setRightDrive(rightDrive);
}

bool UIManager::isRightDrive()
{
    return s_rightDrive.load();
}

} // namespace tamoappframework

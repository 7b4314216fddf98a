#include "implicitrulemanager.h"

#include "tracefmt.h"

namespace tamoappframework {

QSharedPointer<ImplicitRuleManager> ImplicitRuleManager::self()
{
    // Holds the instance for the life of the process and is never destroyed
    // (a late call during exit still finds it); thread-safe first use.
    static const auto *s_instance = new QSharedPointer<ImplicitRuleManager>(new ImplicitRuleManager);
    PLATFORM_TRACE_CALL("ImplicitRuleManager::self");
    return *s_instance;
}

ImplicitRuleManager::ImplicitRuleManager() = default;
ImplicitRuleManager::~ImplicitRuleManager() = default;

} // namespace tamoappframework

#include "implicitrulemanager.h"

#include "tracefmt.h"

namespace tamoappframework {

QSharedPointer<ImplicitRuleManager> ImplicitRuleManager::self()
{
    // Holds the instance for the life of the process; thread-safe first use.
    static const QSharedPointer<ImplicitRuleManager> s_instance(new ImplicitRuleManager);
    PLATFORM_TRACE_CALL("ImplicitRuleManager::self");
    return s_instance;
}

ImplicitRuleManager::ImplicitRuleManager() = default;
ImplicitRuleManager::~ImplicitRuleManager() = default;

} // namespace tamoappframework

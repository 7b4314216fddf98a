#ifndef IMPLICITRULEMANAGER_H
#define IMPLICITRULEMANAGER_H

#include "platformexport.h"

#include <QSharedPointer>

namespace tamoappframework {

// The framework's rule engine; the launcher only makes sure it exists.
class PLATFORM_EXPORT ImplicitRuleManager
{
public:
    static QSharedPointer<ImplicitRuleManager> self();
    virtual ~ImplicitRuleManager();

protected:
    ImplicitRuleManager();

private:
    Q_DISABLE_COPY(ImplicitRuleManager)
};

} // namespace tamoappframework

#endif // IMPLICITRULEMANAGER_H

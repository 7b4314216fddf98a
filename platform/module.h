#ifndef MODULE_H
#define MODULE_H

#include "platformexport.h"

#include <QString>

class QObject;

namespace tamoappframework {

// A module of the framework, held through QSharedPointer<Module>.
class PLATFORM_EXPORT Module
{
public:
    explicit Module(const QString &name);
    virtual ~Module();

    // The module's QObject; the "info" module's has the slot allServiceReady().
    virtual QObject *moduleObject();
    virtual QString name() const;

private:
    QString m_name;
};

} // namespace tamoappframework

#endif // MODULE_H

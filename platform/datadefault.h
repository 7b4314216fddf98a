#ifndef DATADEFAULT_H
#define DATADEFAULT_H

#include "platformexport.h"

#include <QString>
#include <QVariant>

// The factory defaults of every setting.
class PLATFORM_EXPORT DataDefault
{
public:
    static bool initDataDefault();
    // The default of key; an invalid QVariant for a key it does not know.
    static QVariant getDefault(QString key);
};

#endif // DATADEFAULT_H

#ifndef SYSLANGUAGE_H
#define SYSLANGUAGE_H

#include "platformexport.h"

#include <QString>

// Applies the interface language.
class PLATFORM_EXPORT SysLanguage
{
public:
    static void exeLanguage(QString language);
    static QString currentLanguage();
};

#endif // SYSLANGUAGE_H

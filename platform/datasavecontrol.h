#ifndef DATASAVECONTROL_H
#define DATASAVECONTROL_H

#include "platformexport.h"

#include <QString>
#include <QVariant>

// The settings store. Safe to call from several threads at once.
class PLATFORM_EXPORT DataSaveControl
{
public:
    // Chooses the store's file in the user's configuration folder (it honours
    // XDG_CONFIG_HOME). Must run before the first read.
    static bool initQSettingPath();
    // The value stored under key, or def when nothing is stored. group: the
    // settings group; empty for the unit's own settings.
    static QVariant readSettingData(QString const &key, QVariant const &def, QString const &group);
    // Stores value under key (tools and tests; the launcher never writes).
    static bool writeSettingData(QString const &key, QVariant const &value,
                                 QString const &group = QString());
    // The file the store uses, once initQSettingPath() has run.
    static QString settingFilePath();
};

#endif // DATASAVECONTROL_H

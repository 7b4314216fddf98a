#include "datasavecontrol.h"

#include "deepcopy.h"
#include "tracefmt.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QStandardPaths>

#include <mutex>

// The store is one INI file, "$XDG_CONFIG_HOME/headunit/sysset.ini" (XDG_CONFIG_HOME
// unset: "~/.config/headunit/sysset.ini"). Unit settings live at the top level of
// the file; a non-empty group argument names an INI section.
//
// Every access opens a QSettings on the stack under one mutex: a QSettings object
// is not thread-safe and posts its deferred writes to the thread that made it,
// so one long-lived object shared by the receive thread and the main thread
// would race with itself.

namespace {

// The store's state is reached from the receive thread too: never destroyed,
// so a read made while the process runs its static destructors still finds it.
struct Store {
    std::mutex mutex;
    QString path;              // guarded by mutex
    bool warnedUninit = false; // guarded by mutex
    QSet<QString> warnedKeys;  // guarded by mutex: keys whose bad value was logged
};

Store &store()
{
    static auto *s_store = new Store;
    return *s_store;
}

QString storePath()
{
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return base + QStringLiteral("/headunit/sysset.ini");
}

// A boolean is written "true" or "false"; "1" and "0" are read too. Anything
// else ("maybe", "yes") is not a boolean at all, whatever QVariant would make
// of it.
bool isBooleanText(const QString &text)
{
    const QString t = text.trimmed().toLower();
    return t == QLatin1String("true") || t == QLatin1String("false") || t == QLatin1String("1") ||
           t == QLatin1String("0");
}

// Converts what the INI file holds (text) back to the default's type; a value
// that is not of that type gives the default, logged once per key.
QVariant typedLike(Store &st, const QString &key, const QVariant &stored, const QVariant &def)
{
    if (!def.isValid() || stored.userType() == def.userType())
        return stored;
    if (def.userType() == QMetaType::Bool && stored.userType() == QMetaType::QString &&
        !isBooleanText(stored.toString())) {
        if (!st.warnedKeys.contains(key)) {
            st.warnedKeys.insert(key);
            qCWarning(lcPlatform).noquote() << "setting" << key << "is" << stored.toString()
                                            << "in" << st.path << "- not true or false; the default"
                                            << def.toString() << "is used";
        }
        return def;
    }
    QVariant v = stored;
    if (!v.convert(def.userType()))
        return def;
    return v;
}

} // namespace

bool DataSaveControl::initQSettingPath()
{
    PLATFORM_TRACE_CALL("DataSaveControl::initQSettingPath");
    const QString path = storePath();
    const QString dir = QFileInfo(path).absolutePath();
    const bool dirOk = QDir().mkpath(dir);
    if (!dirOk)
        qCWarning(lcPlatform).noquote() << "settings folder" << dir << "cannot be created; reads give defaults";
    Store &st = store();
    std::lock_guard<std::mutex> lock(st.mutex);
    st.path = path;
    return dirOk;
}

QVariant DataSaveControl::readSettingData(QString const &key, QVariant const &def, QString const &group)
{
    PLATFORM_TRACE_CALL("DataSaveControl::readSettingData", key, def, group);
    Store &st = store();
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.path.isEmpty()) {
        if (!st.warnedUninit) {
            st.warnedUninit = true;
            qCWarning(lcPlatform, "readSettingData before initQSettingPath: every read gives its default");
        }
        return def;
    }
    if (key.isEmpty())
        return def;
    QSettings settings(st.path, QSettings::IniFormat);
    if (!group.isEmpty())
        settings.beginGroup(group);
    // What leaves the lock shares no data with the store's cache.
    const QVariant stored = platform::deepCopy(settings.value(key));
    if (!stored.isValid())
        return def;
    return typedLike(st, key, stored, def);
}

bool DataSaveControl::writeSettingData(QString const &key, QVariant const &value, QString const &group)
{
    PLATFORM_TRACE_CALL("DataSaveControl::writeSettingData", key, value, group);
    Store &st = store();
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.path.isEmpty() || key.isEmpty())
        return false;
    QSettings settings(st.path, QSettings::IniFormat);
    if (!group.isEmpty())
        settings.beginGroup(group);
    settings.setValue(key, platform::deepCopy(value));
    settings.sync();
    return settings.status() == QSettings::NoError;
}

QString DataSaveControl::settingFilePath()
{
    Store &st = store();
    std::lock_guard<std::mutex> lock(st.mutex);
    return platform::deepCopy(st.path);
}

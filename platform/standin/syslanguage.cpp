#include "syslanguage.h"

#include "deepcopy.h"
#include "homestate.h"
#include "tracefmt.h"

#include <QLocale>

#include <mutex>

namespace {
std::mutex s_mutex;
QString s_language; // guarded by s_mutex
} // namespace

void SysLanguage::exeLanguage(QString language)
{
    PLATFORM_TRACE_CALL("SysLanguage::exeLanguage", language);
    // Accepts locale names as QLocale reads them ("en_US", "de", "zh_CN").
    // A name that QLocale does not know leaves the current language in place.
    const QLocale locale(language);
    const bool known = !language.trimmed().isEmpty() &&
                       (locale.language() != QLocale::C ||
                        language.compare(QLatin1String("C"), Qt::CaseInsensitive) == 0);
    if (!known) {
        qCWarning(lcPlatform).noquote() << "unknown interface language" << language << "- keeping"
                                        << QLocale().name();
        return;
    }
    QLocale::setDefault(locale);
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_language = platform::deepCopy(locale.name());
    }
    platform::HomeState::instance().setLanguage(locale.name());
}

QString SysLanguage::currentLanguage()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_language.isEmpty() ? QLocale().name() : platform::deepCopy(s_language);
}

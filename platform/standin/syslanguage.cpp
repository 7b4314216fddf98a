#include "syslanguage.h"

#include "deepcopy.h"
#include "homestate.h"
#include "tracefmt.h"

#include <QLocale>

#include <mutex>

namespace {

// Asked for from any thread: never destroyed, so a late call during exit is safe.
struct LanguageState {
    std::mutex mutex;
    QString language; // guarded by mutex
};

LanguageState &languageState()
{
    static auto *s_state = new LanguageState;
    return *s_state;
}

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
        LanguageState &state = languageState();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.language = platform::deepCopy(locale.name());
    }
    platform::HomeState::instance().setLanguage(locale.name());
}

QString SysLanguage::currentLanguage()
{
    LanguageState &state = languageState();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.language.isEmpty() ? QLocale().name() : platform::deepCopy(state.language);
}

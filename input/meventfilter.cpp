#include "meventfilter.h"

#include "launcherexports.h"

#include "eventclock.h"

#include "appdata.h"
#include "datadefault.h"
#include "datasavecontrol.h"
#include "setupstridconst.h"

#include <QEvent>
#include <QKeyEvent>
#include <QSound>
#include <QVariant>

namespace {

// A beep request passes only when more than this many milliseconds have gone
// by since the key press that opened the current window.
constexpr quint64 kBeepWindowMs = 120;

} // namespace

MEventFilter *MEventFilter::pInst = nullptr;

MEventFilter::MEventFilter(QObject *parent)
    : QObject(parent)
{
}

MEventFilter::~MEventFilter() = default;

MEventFilter *MEventFilter::GetInstance()
{
    if (!pInst)
        pInst = new MEventFilter(nullptr);
    return pInst;
}

void MEventFilter::DeleteInstance()
{
    if (pInst) {
        delete pInst;
        pInst = nullptr;
    }
}

bool MEventFilter::eventFilter(QObject *watched, QEvent *event)
{
    Q_UNUSED(watched);
    // Every event of the application comes through here: anything but a key
    // press leaves by its type alone.
    if (event->type() != QEvent::KeyPress)
        return false;

    static quint64 s_beeptime = 0;

    const quint64 now = quint64(eventclock::now());
    // Unsigned on purpose: a stored time ahead of now (the clock was set back)
    // counts as a passed window.
    if (now - s_beeptime <= kBeepWindowMs)
        return false;

    auto *key = static_cast<QKeyEvent *>(event);
    if (key->key() == Qt::Key_Meta && key->text() == QLatin1String("beep")) {
        event->accept();
        emit mcuPlayBeepSig();
    }
    // Any key press past the window opens the next one.
    s_beeptime = now;
    return false;
}

void MEventFilter::playSound()
{
    if (!m_sound)
        return;
    // A beep in progress is neither interrupted nor queued behind.
    if (!m_sound->isFinished())
        return;

    const bool beepDefault = DataDefault::getDefault(SetupStrIdConst::setupSysBeep).toBool();
    const bool beepOn =
        DataSaveControl::readSettingData(SetupStrIdConst::setupSysBeep, QVariant(beepDefault), QString())
            .toBool();
    if (!beepOn)
        return;
    // The shared data component may not be there (yet); no audio state then
    // means no beep rather than a crash.
    const AppData *appData = AppData::GetInstance();
    if (!appData || !appData->AudioInitOK())
        return;

    m_sound->play();
}

// The filter's entry points for the component libraries (launcherexports.h).

QObject *launcher_beep_filter()
{
    return MEventFilter::GetInstance();
}

QSound **launcher_beep_sound_slot()
{
    MEventFilter *filter = MEventFilter::GetInstance();
    return filter ? &filter->m_sound : nullptr;
}

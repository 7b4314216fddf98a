#include "basecontrol.h"

#include "homestate.h"
#include "keyclick.h"
#include "tracefmt.h"

#ifndef LAUNCHER_BUILD_DATE_VERSION
#error "LAUNCHER_BUILD_DATE_VERSION must be defined by the build"
#endif

namespace {

platform::Raw record(const tag_MCUSRV_TO_MAIN_APP_T &msg)
{
    return {platform::describeRecord(&msg, int(sizeof msg))};
}

platform::Raw keyStudy(const MCU_STEER_KEY_STUDY_DATA &k)
{
    return {QString::asprintf("status=%u index=%u count=%u state=%u adc=%u value=%u min=%u max=%u "
                              "value2=%u min2=%u max2=%u",
                              k.keyStatus, k.keyIndex, k.keyCount, k.studyState, k.adcChannel,
                              k.adcValue, k.adcMin, k.adcMax, k.adcValue2, k.adcMin2, k.adcMax2)};
}

} // namespace

BaseControl *BaseControl::getInstance()
{
    // Never deleted: callers keep the plain pointer for the life of the process.
    static BaseControl *s_instance = new BaseControl;
    return s_instance;
}

BaseControl::BaseControl() = default;
BaseControl::~BaseControl() = default;

void BaseControl::changeMediaSrcSlot(int previousAudioSource, int newSource)
{
    PLATFORM_TRACE_CALL("BaseControl::changeMediaSrcSlot", previousAudioSource, newSource);
}

void BaseControl::sendMcuKeyPressedSignal(int key, int state)
{
    PLATFORM_TRACE_CALL("BaseControl::sendMcuKeyPressedSignal", key, state);
    platform::HomeState::instance().setLastKey(key, state);
    // The framework answers every key press with a key click; the
    // application's beep filter decides whether it sounds.
    if (state == platform::kMcuKeyPressed)
        platform::postKeyClick();
}

void BaseControl::ejectSlot()
{
    PLATFORM_TRACE_CALL("BaseControl::ejectSlot");
}

void BaseControl::RecevieMsgFromMcu(tag_MCUSRV_TO_MAIN_APP_T msg)
{
    PLATFORM_TRACE_CALL("BaseControl::RecevieMsgFromMcu", record(msg));
}

void BaseControl::RecevieSIMMsgFromMcu(tag_MCUSRV_TO_MAIN_APP_T msg)
{
    PLATFORM_TRACE_CALL("BaseControl::RecevieSIMMsgFromMcu", record(msg));
}

void BaseControl::RecevieMCMMsgFromMcu(tag_MCUSRV_TO_MAIN_APP_T msg)
{
    PLATFORM_TRACE_CALL("BaseControl::RecevieMCMMsgFromMcu", record(msg));
}

void BaseControl::ReceiveKeyStudyMsgFromMcu(MCU_STEER_KEY_STUDY_DATA data)
{
    PLATFORM_TRACE_CALL("BaseControl::ReceiveKeyStudyMsgFromMcu", keyStudy(data));
}

void BaseControl::killTimeResumeTimer()
{
    PLATFORM_TRACE_CALL("BaseControl::killTimeResumeTimer");
}

QString BaseControl::getDateVersion()
{
    PLATFORM_TRACE_CALL("BaseControl::getDateVersion");
    return QStringLiteral(LAUNCHER_BUILD_DATE_VERSION);
}

#ifndef BASECONTROL_H
#define BASECONTROL_H

#include "platformexport.h"
#include "mcurecords.h"

#include <QString>

// The control layer: receives MCU events for the applications. Safe to call
// from the MCU link's receive thread while the main thread uses it.
class PLATFORM_EXPORT BaseControl
{
public:
    static BaseControl *getInstance();

    void changeMediaSrcSlot(int previousAudioSource, int newSource);
    void sendMcuKeyPressedSignal(int key, int state);
    void ejectSlot();
    void RecevieMsgFromMcu(tag_MCUSRV_TO_MAIN_APP_T msg);
    void RecevieSIMMsgFromMcu(tag_MCUSRV_TO_MAIN_APP_T msg);
    void RecevieMCMMsgFromMcu(tag_MCUSRV_TO_MAIN_APP_T msg);
    void ReceiveKeyStudyMsgFromMcu(MCU_STEER_KEY_STUDY_DATA data);
    void killTimeResumeTimer();
    // The date version text of the build.
    QString getDateVersion();

private:
    BaseControl();
    ~BaseControl();
};

#endif // BASECONTROL_H

#ifndef APPDATA_H
#define APPDATA_H

#include "platformexport.h"

#include <QString>

// Source identifiers of the shared data component.
//
// Audio sources (isAudioSource) are the ones that own the unit's audio channel
// while they are current: RADIO, USB_MUSIC, BT_MUSIC, AUX, USB_VIDEO, PROJECTION
// and DAB. NONE, NAVI (its prompts mix over the current source), PHONE (a call
// interrupts the source instead of replacing it) and SETTINGS are not.
// Direct-switch audio sources (isDirectSwitchAudioSrc) are the audio sources
// whose player runs in the background, so the control layer switches to them at
// once without their screen: RADIO, USB_MUSIC, BT_MUSIC, AUX and DAB. USB_VIDEO
// and PROJECTION need their own screen first. Every other value is neither.
// The underlying type is fixed: the framework hands over source ids as plain ints,
// and every int must be a valid value of the type, not only the named ones.
enum tag_SOURCE_ID_T : int {
    SOURCE_ID_NONE = 0,
    SOURCE_ID_RADIO = 1,
    SOURCE_ID_USB_MUSIC = 2,
    SOURCE_ID_BT_MUSIC = 3,
    SOURCE_ID_AUX = 4,
    SOURCE_ID_USB_VIDEO = 5,
    SOURCE_ID_NAVI = 6,
    SOURCE_ID_PHONE = 7,
    SOURCE_ID_SETTINGS = 8,
    SOURCE_ID_PROJECTION = 9,
    SOURCE_ID_DAB = 10,
};

// Process-wide shared data: sources, unit identity, MCU type, audio state.
// Safe to call from several threads at once.
class PLATFORM_EXPORT AppData
{
public:
    // The shared object, or null while the component is not available.
    static AppData *GetInstance();

    int curSource() const;
    void setCurSource(int id);
    int lastSource() const;
    void setLastSource(int id);
    int curAudioSource() const;
    void setCurAudioSource(int id);
    bool isFirstRun() const;
    void setIsFirstRun(bool firstRun);
    bool isAudioSource(tag_SOURCE_ID_T id);
    bool isDirectSwitchAudioSrc(tag_SOURCE_ID_T id);

    QString uuid() const;
    void setUUID(QString uuid);
    short mcuType() const;
    void setMcuType(short type);

    bool AudioInitOK() const;
    void setAudioInitOK(bool ok);

    // Controls of the component itself: whether GetInstance() yields the object.
    static void setAvailable(bool available);

private:
    AppData();
    ~AppData();
    struct State;
    State *d;
};

#endif // APPDATA_H

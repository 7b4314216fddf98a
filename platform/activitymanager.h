#ifndef ACTIVITYMANAGER_H
#define ACTIVITYMANAGER_H

#include "platformexport.h"
#include "mcurecords.h"

#include <QSharedPointer>
#include <QString>

namespace tamoappframework {

// The framework's activity manager: receives the MCU messages that the launcher
// does not handle itself. Called from the MCU link's receive thread.
class PLATFORM_EXPORT ActivityManager
{
public:
    static QSharedPointer<ActivityManager> self();

    virtual ~ActivityManager();

    virtual void startActivity(QString name);
    virtual QString currentActivity() const;

    virtual void receiveParamFromMcu(unsigned int value);
    // msg, p1 and p2 as received; the kind word carries no defined value.
    virtual void receiveShortMsgFromMcu(McuShortMsg msg);
    // A whole incoming record of kind 3.
    virtual void receiveCanMsgFromMcu(tag_MCUSRV_TO_MAIN_APP_T msg);

protected:
    ActivityManager();

private:
    Q_DISABLE_COPY(ActivityManager)
};

} // namespace tamoappframework

#endif // ACTIVITYMANAGER_H

#ifndef SVCCONTROL_H
#define SVCCONTROL_H

#include "platformexport.h"

#include <QObject>

// Starts the head unit's background services stage by stage.
class PLATFORM_EXPORT SvcControl : public QObject
{
    Q_OBJECT
public:
    // A fixed underlying type: any int a caller passes is a valid (if unknown) stage.
    enum ExeStage : int {
        DirectStage = 0, // services the first screens need at once
        NormalStage = 1, // everything else
    };
    Q_ENUM(ExeStage)

    explicit SvcControl(QObject *parent = nullptr);
    ~SvcControl() override;

    // Starts the stage. sync false: returns at once and emits stageReady(stage)
    // later, from the controller's worker thread. sync true: returns when the
    // stage has started and emits nothing.
    void exeStage(SvcControl::ExeStage stage, bool sync);
    // Ends the controller's work. sync false: emits finished() later; true: emits nothing.
    void stop(bool sync);

signals:
    void stageReady(SvcControl::ExeStage stage);
    void finished();

private:
    class Private;
    Private *d = nullptr;
};

Q_DECLARE_METATYPE(SvcControl::ExeStage)

#endif // SVCCONTROL_H

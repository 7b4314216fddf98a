#ifndef SYSTEMSTART_P_H
#define SYSTEMSTART_P_H

#include "systemstart.h"

#include "svccontrol.h"

class FirstFrameMonitor;
class QTimer;

// The state and slot bodies of SystemStartup. Main thread only.
class SystemStartupPrivate
{
    Q_DECLARE_PUBLIC(SystemStartup)
public:
    explicit SystemStartupPrivate(SystemStartup *q);
    // Gives the first-frame monitor back if it is still held.
    ~SystemStartupPrivate();

    // procFlushDone(): the first frame is on the screen; start the direct stage.
    void _startupSvcThread();
    // finished(): cut the controller loose and schedule the self-deletion.
    void _exeSvcFinished();
    // stageReady(stage): 0 and 1 move the start-up on; other values are ignored.
    void _stageReady(SvcControl::ExeStage stage);

    void directStageReady();
    void normalStageReady();

    SystemStartup *q_ptr = nullptr;
    SvcControl *m_svcControl = nullptr;      // Qt child of q_ptr
    FirstFrameMonitor *m_monitor = nullptr;  // process-wide, released when this goes
    QTimer *m_deleteTimer = nullptr;         // Qt child of q_ptr, made by bgStart()

private:
    Q_DISABLE_COPY(SystemStartupPrivate)
};

#endif // SYSTEMSTART_P_H

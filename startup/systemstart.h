#ifndef SYSTEMSTART_H
#define SYSTEMSTART_H

#include <QObject>

#include "svccontrol.h"

class SystemStartupPrivate;

// Starts the background services in two stages once the first frame is on the
// screen, reports each stage to the module manager and deletes itself 5000 ms
// after the service controller has finished. Lives on the main thread.
class SystemStartup : public QObject
{
    Q_OBJECT
    Q_DECLARE_PRIVATE(SystemStartup)
public:
    explicit SystemStartup(QObject *parent = nullptr);
    ~SystemStartup() override;

    // Wires the staged start and returns at once; the stages run from the event loop.
    void bgStart();
    // Runs both stages back to back without waiting for any signal, then
    // schedules the object's deletion.
    void directStart();

private:
    Q_PRIVATE_SLOT(d_func(), void _startupSvcThread())
    Q_PRIVATE_SLOT(d_func(), void _exeSvcFinished())
    Q_PRIVATE_SLOT(d_func(), void _stageReady(SvcControl::ExeStage stage))

    SystemStartupPrivate *d_ptr;
};

#endif // SYSTEMSTART_H

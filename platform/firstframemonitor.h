#ifndef FIRSTFRAMEMONITOR_H
#define FIRSTFRAMEMONITOR_H

#include "platformexport.h"

#include <QObject>

// Tells when the user interface's first frame has reached the screen.
class PLATFORM_EXPORT FirstFrameMonitor : public QObject
{
    Q_OBJECT
public:
    // The process-wide monitor; every getInstance() is matched by one releaseInstance().
    static FirstFrameMonitor *getInstance();
    static void releaseInstance();

    // From now on, emit procFlushDone() once the first top-level window has been
    // painted and flushed; at once, from inside this call, if that has happened.
    void preCheck();

signals:
    void procFlushDone();

private:
    FirstFrameMonitor();
    ~FirstFrameMonitor() override;
};

#endif // FIRSTFRAMEMONITOR_H

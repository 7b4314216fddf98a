#ifndef STARTUPREPORT_H
#define STARTUPREPORT_H

#include <QObject>

// The start-up's checkpoints, in milliseconds since the process began
// (processclock.h): the application made, the launcher's own steps done
// ("UI is"), the home screen shown (the first top-level window shown), the
// first frame on screen. A frame counts as on screen as the first-frame
// monitor judges it: a widget of a visible window has been painted and the
// paint pass that painted it, which flushes the backing store, has ended (a
// call queued from the paint runs then); the benchmark's bare windows judge
// theirs the same way. At the first frame it writes the checkpoints as one
// line at info priority, on every start:
//
//   Start-up (ms since the process began): application made 41.2, UI is 47.9,
//   home screen shown 71.0, first frame 88.4
//
// (one line) and emits firstFrameOnScreen(). A checkpoint that was never
// passed shows as "-". It watches the application's events from its
// construction until the first frame; then it looks at nothing more.
//
// Main thread only.
class StartupReport : public QObject
{
    Q_OBJECT
public:
    enum Checkpoint : int { ApplicationMade, OwnStepsDone, HomeScreenShown, FirstFrame, CheckpointCount };

    // Call with the application made: that is its first checkpoint.
    explicit StartupReport(QObject *parent = nullptr);
    ~StartupReport() override;

    void mark(Checkpoint checkpoint);

signals:
    void firstFrameOnScreen(double msSinceStart);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void firstFrameFlushed();

    double m_ms[CheckpointCount] = {-1, -1, -1, -1};
    bool m_watchingEvents = false;
    bool m_painted = false;
    bool m_reported = false;
};

#endif // STARTUPREPORT_H

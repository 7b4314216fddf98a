#ifndef MEVENTFILTER_H
#define MEVENTFILTER_H

#include <QObject>

class QSound;

// Picks beep requests (key presses of Qt::Key_Meta with the text "beep") out of
// the application's event stream and turns each one that passes the 120 ms
// window into mcuPlayBeepSig(). Installed on the application; main thread only.
class MEventFilter : public QObject
{
    Q_OBJECT
public:
    explicit MEventFilter(QObject *parent = nullptr);
    ~MEventFilter() override;

    static MEventFilter *GetInstance();
    static void DeleteInstance();

    // Never consumes an event: always returns false.
    bool eventFilter(QObject *watched, QEvent *event) override;

    // The beep sound, handed over by the components; not owned by the filter.
    QSound *m_sound = nullptr;

signals:
    void mcuPlayBeepSig();

public slots:
    void playSound();

private:
    static MEventFilter *pInst;
};

#endif // MEVENTFILTER_H

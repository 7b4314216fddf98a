#include "keyclick.h"

#include <QCoreApplication>
#include <QKeyEvent>

#include <atomic>

namespace platform {

namespace {

// The clicks' receiver: an object of the main thread, never destroyed, so
// that a click posted by the MCU receive thread while the application goes
// away still has a live receiver (the application object may not).
//
// One click at most waits in the main thread's queue: presses that come
// while one waits fall inside its beep window anyway, and a flood of key
// records then costs the main thread one event, not one per record.
class ClickReceiver : public QObject
{
public:
    std::atomic<bool> pending{false};

    bool event(QEvent *e) override
    {
        // The application's event filters have seen the click by now.
        if (e->type() == QEvent::KeyPress)
            pending.store(false);
        return QObject::event(e);
    }
};

ClickReceiver *clickReceiver(QCoreApplication *app)
{
    static ClickReceiver *s_receiver = [app] {
        auto *receiver = new ClickReceiver;
        receiver->setObjectName(QStringLiteral("keyClick"));
        receiver->moveToThread(app->thread());
        return receiver;
    }();
    return s_receiver;
}

} // namespace

void postKeyClick()
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    ClickReceiver *receiver = clickReceiver(app);
    if (receiver->pending.exchange(true))
        return;
    QCoreApplication::postEvent(receiver, new QKeyEvent(QEvent::KeyPress, Qt::Key_Meta, Qt::NoModifier,
                                                        QStringLiteral("beep")));
}

} // namespace platform

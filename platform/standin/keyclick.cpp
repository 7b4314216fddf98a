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
    Q_OBJECT
public:
    std::atomic<bool> pending{false};

    // Main thread, called through Qt's queue by name: the key press is made
    // here and sent through the application, whose event filters see it as
    // they see a posted one. Nothing the poster wrote is read here but the
    // atomic flag (an event made on the MCU thread and read on this one
    // would be handed over only by Qt's own queue, out of ThreadSanitizer's
    // sight).
    Q_INVOKABLE void click()
    {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Meta, Qt::NoModifier, QStringLiteral("beep"));
        QCoreApplication::sendEvent(this, &press);
        pending.store(false);
    }
};

// Made on the main thread as the application is made (a start-up routine of
// the application), and handed to the threads that post clicks through this
// pointer. It outlives the application: a click posted after it is gone is
// never delivered, and nothing else is touched.
std::atomic<ClickReceiver *> s_receiver{nullptr};

void makeClickReceiver()
{
    if (s_receiver.load(std::memory_order_acquire))
        return; // a second application in the same process
    auto *receiver = new ClickReceiver;
    receiver->setObjectName(QStringLiteral("keyClick"));
    s_receiver.store(receiver, std::memory_order_release);
}
Q_COREAPP_STARTUP_FUNCTION(makeClickReceiver)

} // namespace

void postKeyClick()
{
    ClickReceiver *receiver = s_receiver.load(std::memory_order_acquire);
    if (!receiver || !QCoreApplication::instance())
        return;
    if (receiver->pending.exchange(true))
        return;
    QMetaObject::invokeMethod(receiver, "click", Qt::QueuedConnection);
}

} // namespace platform

#include "keyclick.moc"

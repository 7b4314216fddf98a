#include "keyclick.h"

#include <QCoreApplication>
#include <QKeyEvent>

namespace platform {

namespace {

// The clicks' receiver: a plain object of the main thread, never destroyed,
// so that a click posted by the MCU receive thread while the application
// goes away still has a live receiver (the application object may not).
QObject *clickReceiver(QCoreApplication *app)
{
    static QObject *s_receiver = [app] {
        auto *receiver = new QObject;
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
    QCoreApplication::postEvent(clickReceiver(app),
                                new QKeyEvent(QEvent::KeyPress, Qt::Key_Meta, Qt::NoModifier,
                                              QStringLiteral("beep")));
}

} // namespace platform

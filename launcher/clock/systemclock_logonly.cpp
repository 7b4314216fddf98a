// Default clock layer of a native build: the launcher may run as root on a
// developer machine or in CI, where it must never change the machine's clock.
// It logs the time it would set instead.

#include "systemclock.h"

#include <QDateTime>
#include <QDebug>

namespace platform {

namespace {

class LogOnlyClock : public SystemClock
{
public:
    int setTime(qint64 secsSinceEpoch) override
    {
        const QByteArray when =
            QDateTime::fromSecsSinceEpoch(secsSinceEpoch, Qt::UTC).toString(Qt::ISODate).toLatin1();
        qDebug("==========>system clock left unchanged on a native build; would set %lld (%s)",
               static_cast<long long>(secsSinceEpoch), when.constData());
        return 0;
    }
};

} // namespace

SystemClock *defaultSystemClock()
{
    static LogOnlyClock clock;
    return &clock;
}

bool defaultSystemClockSetsTime() { return false; }

} // namespace platform

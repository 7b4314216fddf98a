#include "trace.h"

#include "journal.h"
#include "mcurecords.h"

#include <algorithm>

// What Q_LOGGING_CATEGORY defines, but never destroyed: the components'
// threads (the MCU receive thread, the heartbeat) may log while the process
// runs its static destructors. Debug lines (one per call, one a second from
// the heartbeat alone) are off unless the logging rules turn them on.
const QLoggingCategory &lcPlatform()
{
    static const auto *s_category = new QLoggingCategory("platform", QtInfoMsg);
    return *s_category;
}

namespace platform {

bool traceActive()
{
    return lcPlatform().isDebugEnabled() || Journal::instance().isEnabled();
}

void traceAt(const char *file, int line, const char *function, const QString &call)
{
    const QLoggingCategory &category = lcPlatform();
    if (category.isDebugEnabled())
        QMessageLogger(file, line, function).debug(category).noquote() << call;
    Journal::instance().record(call); // nothing when the journal is off
}

void trace(const QString &call)
{
    traceAt(nullptr, 0, nullptr, call);
}

namespace {
QString hexBytes(const unsigned char *p, int n)
{
    QString out;
    out.reserve(n * 3);
    for (int i = 0; i < n; ++i) {
        if (i)
            out += QLatin1Char(' ');
        out += QString::asprintf("%02x", p[i]);
    }
    return out;
}
} // namespace

QString describeRecord(const void *record, int len)
{
    constexpr int kShownPayload = 16;
    if (!record || len <= 0)
        return QStringLiteral("empty record");
    const auto *p = static_cast<const unsigned char *>(record);
    if (len < 4)
        return QStringLiteral("partial record [%1]").arg(hexBytes(p, len));

    const uint32_t kind = mcu::loadLe32(p);
    auto word = [&](int index) { return mcu::loadLe32(p + 4 * index); };
    if (kind == mcu::kKindShort) {
        if (len < mcu::kShortRecordSize)
            return QStringLiteral("kind=1 partial [%1]").arg(hexBytes(p, len));
        return QStringLiteral("kind=1 msg=%1 p1=%2 p2=%3").arg(word(1)).arg(word(2)).arg(word(3));
    }
    if (len < mcu::kHeaderSize)
        return QStringLiteral("kind=%1 partial [%2]").arg(kind).arg(hexBytes(p + 4, len - 4));

    const uint32_t length = word(2);
    // The length word comes from the peer: only bytes within len are ever read.
    int payload = len - mcu::kHeaderSize;
    if (length >= uint32_t(mcu::kHeaderSize) && length - mcu::kHeaderSize < uint32_t(payload))
        payload = int(length - mcu::kHeaderSize);
    const int shown = std::min(payload, kShownPayload);
    QString out = QStringLiteral("kind=%1 id=%2 len=%3 [%4")
                      .arg(kind)
                      .arg(word(1))
                      .arg(length)
                      .arg(hexBytes(p + mcu::kHeaderSize, shown));
    if (payload > shown)
        out += QStringLiteral(" ...");
    out += QLatin1Char(']');
    return out;
}

} // namespace platform

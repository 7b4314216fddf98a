#ifndef PLATFORM_TRACE_H
#define PLATFORM_TRACE_H

#include "platformexport.h"

#include <QLoggingCategory>
#include <QString>

// The outside components log under their own category, "platform". (What
// Q_DECLARE_LOGGING_CATEGORY declares, exported from the components' library.)
// Its debug level, where every call is written, is off unless asked for
// (QT_LOGGING_RULES="platform.debug=true"); info and warnings stay on.
PLATFORM_EXPORT const QLoggingCategory &lcPlatform();

namespace platform {

// True when a call would be written anywhere (the "platform" category's debug
// level is on, or the journal is enabled); callers skip formatting otherwise.
PLATFORM_EXPORT bool traceActive();

// Writes one line "Component::operation(arguments)" to the "platform" log, with
// the given source file, line and function as its context, and appends it,
// with the calling thread, to the journal. PLATFORM_TRACE passes the call site.
PLATFORM_EXPORT void traceAt(const char *file, int line, const char *function, const QString &call);

// The same without a call site: the line carries no file, line or function.
PLATFORM_EXPORT void trace(const QString &call);

// A record as its kind, id and length words and the first payload bytes in hex,
// e.g. "kind=2 id=25 len=20 [05 31 2e 30 ...]". Reads at most len bytes.
PLATFORM_EXPORT QString describeRecord(const void *record, int len);

} // namespace platform

// Formats and traces only when someone listens; the line's context is the
// place the macro stands in (file as the compiler names it, line, function).
#define PLATFORM_TRACE(expr)                                                                       \
    do {                                                                                           \
        if (platform::traceActive())                                                               \
            platform::traceAt(__FILE__, __LINE__, Q_FUNC_INFO, expr);                              \
    } while (0)

#endif // PLATFORM_TRACE_H

#ifndef PLATFORM_TRACEFMT_H
#define PLATFORM_TRACEFMT_H

// How the stand-in components write a call: "Component::operation(a, b)".
// Arguments are written as QDebug writes them: numbers plain, booleans as
// true/false, strings quoted and escaped, QVariants as QVariant(type, value);
// platform::Raw text goes in unquoted (records, enumerator names).

#include "trace.h"

#include <QDebug>
#include <QString>

namespace platform {

struct Raw {
    QString text;
};

inline QDebug operator<<(QDebug d, const Raw &raw)
{
    QDebugStateSaver saver(d);
    d.noquote() << raw.text;
    return d;
}

template<typename... Args>
QString formatCall(const char *operation, const Args &...args)
{
    QString out;
    {
        QDebug d(&out);
        d.nospace() << operation << '(';
        [[maybe_unused]] const char *separator = "";
        ((d << separator << args, separator = ", "), ...);
        d << ')';
    }
    return out;
}

} // namespace platform

// Traces "operation(args...)" when someone listens; formats nothing otherwise.
#define PLATFORM_TRACE_CALL(...) PLATFORM_TRACE(platform::formatCall(__VA_ARGS__))

#endif // PLATFORM_TRACEFMT_H

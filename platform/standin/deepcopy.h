#ifndef PLATFORM_DEEPCOPY_H
#define PLATFORM_DEEPCOPY_H

// Copies that share no data with their source. Text that the components keep
// under a lock is stored and handed out as such copies, so implicitly shared
// data never outlives the lock on two threads at once: the last reference to
// it is always dropped by its own thread, never inside Qt's code on another
// (whose reference counting ThreadSanitizer cannot follow).

#include <QString>
#include <QStringList>
#include <QVariant>

namespace platform {

inline QString deepCopy(const QString &s)
{
    return s.isNull() ? QString() : QString(s.constData(), s.size());
}

inline QVariant deepCopy(const QVariant &v)
{
    switch (v.userType()) {
    case QMetaType::QString:
        return QVariant(deepCopy(v.toString()));
    case QMetaType::QByteArray: {
        const QByteArray b = v.toByteArray();
        return QVariant(QByteArray(b.constData(), b.size()));
    }
    case QMetaType::QStringList: {
        QStringList out;
        for (const QString &s : v.toStringList())
            out.append(deepCopy(s));
        return QVariant(out);
    }
    default:
        return v; // plain values; other shared types are not stored by the components
    }
}

} // namespace platform

#endif // PLATFORM_DEEPCOPY_H

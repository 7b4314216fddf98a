#ifndef PLATFORM_JOURNAL_H
#define PLATFORM_JOURNAL_H

#include "platformexport.h"

#include <QString>
#include <QVector>

#include <cstdint>

namespace platform {

// One call into an outside component, as the component saw it.
struct JournalEntry {
    quint64 seq = 0;           // 1, 2, 3 ... over the life of the process
    qint64 monotonicNs = 0;    // CLOCK_MONOTONIC when recorded
    Qt::HANDLE thread = nullptr; // QThread::currentThreadId() of the caller
    bool mainThread = false;   // the caller was the application's main thread
    QString text;              // "Component::operation(arguments)"
};

// A bounded in-memory record of every call into the outside components, for
// tests to check order and threads. Off (records nothing) until setEnabled(true).
// Oldest entries are dropped once it is full, so a process that runs for days
// keeps a fixed amount. Thread-safe.
class PLATFORM_EXPORT Journal
{
public:
    static Journal &instance();

    void record(const QString &text);
    QVector<JournalEntry> entries() const;          // oldest first
    QVector<JournalEntry> since(quint64 seq) const; // entries with a larger seq
    quint64 lastSeq() const;
    void clear();

    int capacity() const;
    void setCapacity(int entries);
    bool isEnabled() const;
    void setEnabled(bool enabled);

private:
    Journal();
    ~Journal();
    struct State;
    State *d;
};

} // namespace platform

#endif // PLATFORM_JOURNAL_H

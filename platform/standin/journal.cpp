#include "journal.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include <time.h>

namespace platform {

namespace {
constexpr int kDefaultCapacity = 4096;
constexpr int kMaxCapacity = 1 << 20;

qint64 monotonicNow()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool onMainThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}
} // namespace

// A ring of `capacity` slots, made on the first entry (a journal never enabled
// holds no memory): `head` is the slot the next entry goes to and `count` how
// many of the slots hold entries.
struct Journal::State {
    mutable std::mutex mutex;
    int capacity = kDefaultCapacity;
    std::vector<JournalEntry> ring;
    int head = 0;
    int count = 0;
    quint64 seq = 0;
    // Read without the lock: every traced call asks first whether anyone listens.
    // Off until a test or a tool turns it on: a launcher keeps no journal.
    std::atomic<bool> enabled{false};

    template<typename F> void forEachOldestFirst(F f) const
    {
        if (count == 0)
            return;
        const int cap = int(ring.size());
        const int first = (head - count + cap) % cap;
        for (int i = 0; i < count; ++i)
            f(ring[size_t((first + i) % cap)]);
    }
};

Journal &Journal::instance()
{
    // Never destroyed: threads of the components may still record while the
    // process runs its static destructors.
    static Journal *s_journal = new Journal;
    return *s_journal;
}

Journal::Journal() : d(new State) {}

Journal::~Journal()
{
    delete d;
}

void Journal::record(const QString &text)
{
    if (!d->enabled.load(std::memory_order_relaxed))
        return;
    JournalEntry e;
    e.monotonicNs = monotonicNow();
    e.thread = QThread::currentThreadId();
    e.mainThread = onMainThread();
    e.text = text;

    std::lock_guard<std::mutex> lock(d->mutex);
    if (!d->enabled.load(std::memory_order_relaxed))
        return;
    if (d->ring.empty())
        d->ring.resize(size_t(d->capacity));
    e.seq = ++d->seq;
    const int cap = int(d->ring.size());
    d->ring[size_t(d->head)] = std::move(e);
    d->head = (d->head + 1) % cap;
    d->count = std::min(d->count + 1, cap);
}

QVector<JournalEntry> Journal::entries() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    QVector<JournalEntry> out;
    out.reserve(d->count);
    d->forEachOldestFirst([&](const JournalEntry &e) { out.append(e); });
    return out;
}

QVector<JournalEntry> Journal::since(quint64 seq) const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    QVector<JournalEntry> out;
    d->forEachOldestFirst([&](const JournalEntry &e) {
        if (e.seq > seq)
            out.append(e);
    });
    return out;
}

quint64 Journal::lastSeq() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->seq;
}

void Journal::clear()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    for (JournalEntry &e : d->ring)
        e = JournalEntry();
    d->head = 0;
    d->count = 0;
}

int Journal::capacity() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->capacity;
}

void Journal::setCapacity(int entries)
{
    entries = std::clamp(entries, 1, kMaxCapacity);
    std::lock_guard<std::mutex> lock(d->mutex);
    d->capacity = entries;
    if (d->ring.empty())
        return;
    std::vector<JournalEntry> kept;
    kept.reserve(size_t(entries));
    int skip = std::max(0, d->count - entries);
    d->forEachOldestFirst([&](const JournalEntry &e) {
        if (skip > 0)
            --skip;
        else
            kept.push_back(e);
    });
    const int count = int(kept.size());
    kept.resize(size_t(entries));
    d->ring = std::move(kept);
    d->count = count;
    d->head = count % entries;
}

bool Journal::isEnabled() const
{
    return d->enabled.load(std::memory_order_acquire);
}

void Journal::setEnabled(bool enabled)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->enabled.store(enabled, std::memory_order_release);
}

} // namespace platform

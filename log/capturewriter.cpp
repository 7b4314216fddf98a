#include "capturewriter.h"

#include "processlog.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace processlog {

namespace {

// What precedes a record in the queue.
struct Entry {
    uint64_t usec;
    uint32_t size;
    uint32_t connection;
    uint32_t dir;
};

} // namespace

struct CaptureWriter::State {
    std::mutex mutex;
    std::condition_variable wake;  // the writer thread: records, or the end
    std::condition_variable ended; // finish(): the writer thread is done
    std::unique_ptr<unsigned char[]> ring{new unsigned char[kQueueBytes]};
    size_t head = 0, used = 0;
    uint64_t captured = 0, dropped = 0;
    bool ending = false, done = false;
    pcapng::Writer file; // the writer thread's alone once it runs

    void put(const void *p, size_t n)
    {
        size_t tail = (head + used) % kQueueBytes;
        const size_t first = std::min(n, kQueueBytes - tail);
        std::memcpy(ring.get() + tail, p, first);
        std::memcpy(ring.get(), static_cast<const unsigned char *>(p) + first, n - first);
        used += n;
    }
    void take(void *p, size_t n)
    {
        const size_t first = std::min(n, kQueueBytes - head);
        std::memcpy(p, ring.get() + head, first);
        std::memcpy(static_cast<unsigned char *>(p) + first, ring.get(), n - first);
        head = (head + n) % kQueueBytes;
        used -= n;
        if (used == 0)
            head = 0;
    }
};

CaptureWriter::CaptureWriter() = default;

CaptureWriter::~CaptureWriter()
{
    finish(kFinishMs);
}

bool CaptureWriter::open(const std::string &path, uint64_t maxBytes)
{
    if (m_state)
        return false;
    auto state = std::make_shared<State>();
    if (!state->file.open(path, "headunit launcher", pcapng::kLauncherSide, maxBytes)) {
        processlog::outf(Priority::Warning, "=================>>>MCU capture: cannot write %s: %s\n", path.c_str(),
                         std::strerror(errno));
        return false;
    }
    auto *arg = new std::shared_ptr<State>(state);
    if (::pthread_create(&m_thread, nullptr, &CaptureWriter::threadEntry, arg) != 0) {
        delete arg;
        processlog::outf(Priority::Warning, "=================>>>MCU capture: no thread for it\n");
        return false;
    }
    m_state = state;
    processlog::outf(Priority::Info, "=================>>>MCU capture to %s (at most %llu bytes, then %s.1)\n",
                     path.c_str(), static_cast<unsigned long long>(maxBytes), path.c_str());
    return true;
}

void CaptureWriter::record(pcapng::Direction dir, unsigned connection, const unsigned char *data, size_t len)
{
    State *s = m_state.get();
    if (!s)
        return;
    const Entry e{pcapng::nowUsec(), uint32_t(len), connection, static_cast<uint32_t>(dir)};
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        if (s->ending)
            return;
        if (sizeof e + len > kQueueBytes - s->used) {
            ++s->dropped;
            return;
        }
        s->put(&e, sizeof e);
        s->put(data, len);
    }
    s->wake.notify_one();
}

void *CaptureWriter::threadEntry(void *arg)
{
    std::shared_ptr<State> state = std::move(*static_cast<std::shared_ptr<State> *>(arg));
    delete static_cast<std::shared_ptr<State> *>(arg);
    ::pthread_setname_np(::pthread_self(), "mcu-capture");
    State &s = *state;
    std::vector<unsigned char> rec;
    unsigned rotations = 0;
    bool broken = false; // a write failed: the file was closed and said so
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        s.wake.wait(lock, [&] { return s.used > 0 || s.ending; });
        if (s.used == 0)
            break;
        Entry e;
        s.take(&e, sizeof e);
        rec.resize(e.size);
        s.take(rec.data(), e.size);
        lock.unlock();
        // The file is written outside the lock: a slow disk holds up this thread only.
        const bool ok = !broken && s.file.write(e.usec, static_cast<pcapng::Direction>(e.dir), e.connection,
                                                rec.data(), rec.size());
        if (!ok && !broken) {
            broken = true;
            processlog::outf(Priority::Warning, "=================>>>MCU capture: cannot write %s (%s); it ends here\n",
                             s.file.path().c_str(), std::strerror(errno));
        }
        lock.lock();
        if (!ok)
            continue;
        ++s.captured;
        if (s.file.rotations() != rotations) {
            rotations = s.file.rotations();
            processlog::outf(Priority::Info, "=================>>>MCU capture: %s moved to %s.1; %llu records "
                             "dropped from the capture so far (queue full)\n",
                             s.file.path().c_str(), s.file.path().c_str(), static_cast<unsigned long long>(s.dropped));
        }
    }
    s.file.close();
    s.done = true;
    lock.unlock();
    s.ended.notify_all();
    return nullptr;
}

void CaptureWriter::finish(int timeoutMs)
{
    if (!m_state)
        return;
    std::shared_ptr<State> state = std::move(m_state);
    State &s = *state;
    std::unique_lock<std::mutex> lock(s.mutex);
    s.ending = true;
    s.wake.notify_one();
    const bool done = s.ended.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return s.done; });
    const unsigned long long captured = s.captured, dropped = s.dropped;
    lock.unlock();
    if (done)
        ::pthread_join(m_thread, nullptr);
    else
        ::pthread_detach(m_thread); // held up by the file; it owns its state
    processlog::outf(Priority::Info, "=================>>>MCU capture ended: %llu records written, %llu dropped "
                     "(queue full)%s\n", captured, dropped, done ? "" : "; what was left is not waited for");
}

uint64_t CaptureWriter::dropped() const
{
    if (!m_state)
        return 0;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->dropped;
}

} // namespace processlog

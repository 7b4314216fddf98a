#ifndef CAPTUREWRITER_H
#define CAPTUREWRITER_H

#include "pcapng.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <pthread.h>

namespace processlog {

// The MCU link's capture (LAUNCHER_MCU_CAPTURE): records from any thread go
// into one bounded queue, and one thread of its own ("mcu-capture") writes
// them to a pcapng file, the way the process's lines go out through the log
// writer: whoever hands a record over never waits for the file. A record
// that finds the queue full is dropped from the capture and counted (never
// from the link); the count is logged when the file is rotated and when the
// capture ends. The file is kept under a size limit by moving it to FILE.1.
class CaptureWriter
{
public:
    static constexpr size_t kQueueBytes = 256 * 1024; // about a thousand long records
    static constexpr uint64_t kDefaultMaxBytes = 16 * 1024 * 1024;

    CaptureWriter();
    // finish(kFinishMs).
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter &) = delete;
    CaptureWriter &operator=(const CaptureWriter &) = delete;

    // Opens FILE (headers written) and starts the writer thread; logs and
    // returns false when FILE cannot be made. Once, before any record().
    bool open(const std::string &path, uint64_t maxBytes = kDefaultMaxBytes);
    bool isOpen() const { return m_state != nullptr; }

    // Any thread: copies the record into the queue, or counts it as dropped.
    // Takes only the queue's lock, which nobody holds across a write.
    void record(pcapng::Direction dir, unsigned connection, const unsigned char *data, size_t len);

    // Gives the writer thread at most timeoutMs to write out what is queued,
    // then closes the file and logs what was captured and dropped. A thread
    // held up by the file longer is left to finish on its own.
    static constexpr int kFinishMs = 500;
    void finish(int timeoutMs);

    // Records dropped for want of room in the queue so far.
    uint64_t dropped() const;

private:
    struct State;
    static void *threadEntry(void *state);

    std::shared_ptr<State> m_state;
    pthread_t m_thread{};
};

} // namespace processlog

#endif // CAPTUREWRITER_H

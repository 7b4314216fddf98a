// The MCU link's capture writer against a file that stops taking bytes: the
// threads that hand it records never wait, what finds no room is counted, and
// its end does not wait for the file longer than it is given.

#include "capturewriter.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

TEST(CaptureWriter, AStalledFileDropsFromTheCaptureAndNeverHoldsUpTheLink)
{
    // The writer's "file" is a pipe that nobody reads once its small buffer is full.
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
    ::signal(SIGPIPE, SIG_IGN); // the stuck write ends with EPIPE when the test closes the pipe

    processlog::CaptureWriter capture;
    ASSERT_TRUE(capture.open("/proc/self/fd/" + std::to_string(fds[1]), 0));
    unsigned char record[264] = {2, 0, 0, 0, 195};
    // Ten times what the queue and the pipe hold together: every call returns.
    const int n = int(10 * processlog::CaptureWriter::kQueueBytes / sizeof record);
    for (int i = 0; i < n; ++i)
        capture.record(pcapng::Direction::Outbound, 1, record, sizeof record);
    const uint64_t dropped = capture.dropped();
    EXPECT_GT(dropped, uint64_t(n) / 2);
    EXPECT_LT(dropped, uint64_t(n));

    capture.finish(50); // the writer is stuck in write(): left to end on its own
    capture.record(pcapng::Direction::Outbound, 1, record, sizeof record); // after the end: nothing
    ::close(fds[0]);
    ::close(fds[1]);
}

} // namespace

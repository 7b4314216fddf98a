// The process log's queues and writer on pipes the test reads: the priority
// prefix only on the stream the journal owns, and lines lost to a stalled
// reader counted when it reads again and when the log finishes.

#include "logwriter.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using processlog::Priority;
using processlog::Stream;
using processlog::Writer;

namespace {

struct Pipe {
    int r = -1, w = -1;
    explicit Pipe(int size = 0)
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            r = fds[0];
            w = fds[1];
        }
        if (size > 0)
            ::fcntl(w, F_SETPIPE_SZ, size);
    }
    ~Pipe()
    {
        ::close(r);
        ::close(w);
    }
    // JOURNAL_STREAM's form of the pipe: "device:inode".
    std::string journalName() const
    {
        struct stat st {};
        ::fstat(w, &st);
        return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    }
    // What has arrived so far.
    std::string available() const
    {
        std::string got;
        char buf[4096];
        pollfd p{r, POLLIN, 0};
        while (::poll(&p, 1, 0) == 1 && (p.revents & POLLIN)) {
            const ssize_t n = ::read(r, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, size_t(n));
        }
        return got;
    }
    // Reads until done(text so far) holds or the time-out passes.
    std::string readUntil(const std::function<bool(const std::string &)> &done,
                          std::chrono::milliseconds timeout = 10s) const
    {
        std::string got;
        testsupport::waitFor(
            [&] {
                got += available();
                return done(got);
            },
            timeout);
        return got;
    }
};

void put(Writer &w, Stream s, Priority p, const std::string &text)
{
    w.write(s, p, text.data(), text.size());
}

std::string outLine(int i) { return "Main app normal msg:13144, p1:" + std::to_string(i) + ", p2:0.\n"; }

const char kOutDropped[] = " console lines dropped\n";

} // namespace

TEST(ProcessLog, OnlyTheStreamJournalStreamNamesCarriesPriorities)
{
    const std::string warning = "=================>>>MainAppProtocolComm refused the MCU service peer pid 9\n";
    const std::string record = outLine(1);
    const std::string twoLines = "first\nsecond"; // each line its prefix, the newline added
    for (const char *owner : {"err", "out", "none", "other"}) {
        SCOPED_TRACE(owner);
        Pipe out, err, other;
        const std::string name = std::string(owner) == "err"     ? err.journalName()
                                 : std::string(owner) == "out"   ? out.journalName()
                                 : std::string(owner) == "other" ? other.journalName()
                                                                 : std::string();
        Writer w(out.w, err.w, name.empty() ? nullptr : name.c_str());
        for (Stream s : {Stream::Out, Stream::Err}) {
            put(w, s, Priority::Warning, warning);
            put(w, s, Priority::Debug, record);
            put(w, s, Priority::Debug, twoLines);
        }
        ASSERT_TRUE(w.flush(10000));

        const std::string plain = warning + record + "first\nsecond\n";
        const std::string prefixed = "<4>" + warning + "<7>" + record + "<7>first\n<7>second\n";
        EXPECT_EQ(std::string(owner) == "out" ? prefixed : plain, out.available());
        EXPECT_EQ(std::string(owner) == "err" ? prefixed : plain, err.available());
    }
}

// Nobody reads while 10000 per-record lines are written: the first ones wait
// in the pipe and the queue, the rest are dropped, and a warning written then
// still finds the room they may not take. Once the reader reads again, the
// count follows the last line that was kept, and later lines follow the count.
TEST(ProcessLog, LinesLostToAStalledReaderAreCountedOnceItReadsAgain)
{
    Pipe out(4096), err;
    Writer w(out.w, err.w, nullptr);
    constexpr int kLines = 10000;
    for (int i = 0; i < kLines; ++i) {
        const std::string line = outLine(i);
        w.write(Stream::Out, Priority::Debug, line.data(), line.size(), /*bulk=*/true);
    }
    const uint64_t dropped = w.dropped(Stream::Out);
    ASSERT_GT(dropped, 0u);
    put(w, Stream::Out, Priority::Warning, "warning\n");

    std::string got = out.readUntil([](const std::string &t) { return t.find(kOutDropped) != std::string::npos; });
    ASSERT_NE(got.find(kOutDropped), std::string::npos) << got.size() << " bytes, no count line";
    put(w, Stream::Out, Priority::Info, "after\n");
    ASSERT_TRUE(w.flush(10000));
    got += out.available();

    std::string kept;
    int n = 0;
    while (got.compare(kept.size(), outLine(n).size(), outLine(n)) == 0)
        kept += outLine(n++);
    EXPECT_EQ(kLines, n + int(dropped));
    EXPECT_EQ("warning\n=================>>>MainAppProtocolComm " + std::to_string(dropped) + kOutDropped + "after\n",
              got.substr(kept.size()));
    EXPECT_EQ(dropped, w.dropped(Stream::Out));
}

// Standard output's reader (a socket, like the journal's) stalls for good;
// standard error goes on meanwhile. At the end, each line of standard output
// that never went out (dropped or still queued) is in one count, which the
// socket takes without waiting: the writer stops at a quarter of its buffer.
TEST(ProcessLog, AtTheEndLinesAStalledReaderNeverTookAreCounted)
{
    int journal[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, journal));
    Pipe err;
    auto w = std::make_unique<Writer>(journal[0], err.w, nullptr);
    constexpr int kLines = 20000;
    for (int i = 0; i < kLines; ++i)
        put(*w, Stream::Out, Priority::Debug, outLine(i));
    put(*w, Stream::Err, Priority::Warning, "still written\n");
    EXPECT_EQ("still written\n", err.readUntil([](const std::string &t) { return !t.empty(); }));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(w->finish(100));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    const uint64_t dropped = w->dropped(Stream::Out);
    w.reset();

    // Lines from the first on, the count among them (a chunk the writer held at
    // the end may follow it).
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(journal[1], buf, sizeof buf, MSG_DONTWAIT)) > 0)
        got.append(buf, size_t(n));
    ::close(journal[0]);
    ::close(journal[1]);
    const std::string notice = "=================>>>MainAppProtocolComm " + std::to_string(dropped) + kOutDropped;
    const size_t at = got.find(notice);
    ASSERT_NE(at, std::string::npos) << got.size() << " bytes, " << dropped << " dropped";
    got.erase(at, notice.size());
    std::string kept;
    int lines = 0;
    while (got.compare(kept.size(), outLine(lines).size(), outLine(lines)) == 0)
        kept += outLine(lines++);
    EXPECT_EQ(got.size(), kept.size());
    EXPECT_EQ(kLines, lines + int(dropped));
}

#include "stdoutcapture.h"

#include "processlog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

namespace testsupport {

StdoutCapture::StdoutCapture()
{
    std::fflush(stdout);
    char path[] = "/tmp/stdout-capture-XXXXXX";
    m_file = ::mkostemp(path, O_CLOEXEC);
    if (m_file < 0)
        return;
    ::unlink(path);
    m_saved = ::dup(STDOUT_FILENO);
    ::dup2(m_file, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture()
{
    std::fflush(stdout);
    processlog::flush(10000);
    if (m_saved >= 0) {
        ::dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
    }
    if (m_file >= 0) {
        // Show the test's log in its own output as well.
        const std::string captured = text();
        if (::write(STDOUT_FILENO, captured.data(), captured.size()) < 0) {
            // Nothing to do: the test's own output is best effort.
        }
        ::close(m_file);
    }
}

std::string StdoutCapture::text() const
{
    std::fflush(stdout);
    processlog::flush(10000); // the link's lines go out on a thread of their own
    std::string out;
    if (m_file < 0)
        return out;
    char buf[4096];
    off_t at = 0;
    for (;;) {
        const ssize_t n = ::pread(m_file, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buf, size_t(n));
        at += n;
    }
    return out;
}

int StdoutCapture::count(const std::string &needle) const
{
    const std::string t = text();
    int c = 0;
    for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + needle.size()))
        ++c;
    return c;
}

} // namespace testsupport

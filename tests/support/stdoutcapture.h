#ifndef STDOUTCAPTURE_H
#define STDOUTCAPTURE_H

#include <string>

namespace testsupport {

// Redirects file descriptor 1 to a temporary file while it lives; text()
// returns everything printed so far (C stdout is flushed first).
class StdoutCapture
{
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    std::string text() const;
    int count(const std::string &needle) const; // occurrences in text()

private:
    int m_saved = -1;
    int m_file = -1;
};

} // namespace testsupport

#endif // STDOUTCAPTURE_H

#ifndef MCUPEER_H
#define MCUPEER_H

// The MCU service's side of the link, for transport tests: a listening
// Unix-domain stream socket on a private abstract name, and a capture of what
// the process prints to C standard output.

#include <QByteArray>

#include <chrono>
#include <string>

namespace testsupport {

using namespace std::chrono_literals;

class McuPeer
{
public:
    // `name` is the abstract name without its leading zero byte.
    explicit McuPeer(std::string name);
    ~McuPeer();
    McuPeer(const McuPeer &) = delete;
    McuPeer &operator=(const McuPeer &) = delete;

    // The name as a link endpoint stores it ("@name") and its connect length.
    std::string servicePath() const { return "@" + m_name; }
    unsigned connectLength() const { return unsigned(2 + 1 + m_name.size()); }

    bool listen();          // binds and listens; false on failure
    void stopListening();   // the service goes away: new connects are refused
    // Waits for the next connection and makes it the current one; false on timeout.
    bool accept(std::chrono::milliseconds timeout = 10s);
    void closeConnection(); // closes the current connection
    int fd() const { return m_conn; }

    bool send(const QByteArray &bytes); // all of it, or false
    QByteArray read(int n, std::chrono::milliseconds timeout = 10s);
    // True when the link closed its end (EOF) within the timeout.
    bool waitForEof(std::chrono::milliseconds timeout = 10s);

private:
    std::string m_name;
    int m_listener = -1;
    int m_conn = -1;
};

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

#endif // MCUPEER_H

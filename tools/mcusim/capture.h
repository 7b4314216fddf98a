#ifndef MCUSIM_CAPTURE_H
#define MCUSIM_CAPTURE_H

#include "codec.h"

#include <cstdint>
#include <ostream>
#include <string>

namespace mcusim {

// Writes a session, both directions with timestamps, as a scenario that replays
// it: what was sent becomes the command that sent it, with sleep lines keeping
// the pace; what the launcher sent becomes an expect line (fields that change
// from run to run left out); its heartbeats and the connection's events become
// comments, each line ending in a comment with the wall-clock time.
class CaptureWriter
{
public:
    // Where and when: monotonic milliseconds, and the wall-clock "HH:MM:SS.mmm".
    struct Stamp {
        int64_t monoMs = 0;
        std::string wall;
    };

    explicit CaptureWriter(std::ostream &out) : m_out(out) {}
    // Without pace, no sleep lines: the replay goes as fast as the launcher answers.
    void setPaced(bool paced) { m_paced = paced; }

    void header(const std::string &text);
    // A send command and what it wrote; spentMs is the time its own pauses take
    // (a split write), which the replay spends anyway.
    void sent(const Stamp &at, const std::string &commandText, const Decoded &what, int spentMs = 0);
    // A record from the launcher.
    void received(const Stamp &at, const Decoded &what);
    // A connection accepted: replays as wait-connect.
    void connected(const Stamp &at);
    // disconnect, restart, close-listener, listen, stall, resume, flood and the
    // launcher's commands (setting, launch, console, terminate): replayed as written.
    void action(const Stamp &at, const std::string &commandText);
    // The launcher ended the connection (closed it, or went away): replayed
    // as a disconnect, after which the launcher connects anew, whether it was
    // restarted by hand here or not.
    void peerClosed(const Stamp &at);
    // The launcher that the simulator started ended: with exitCode (-1: by a
    // signal, which only a comment can say).
    void exited(const Stamp &at, int exitCode, const std::string &how);
    // Anything else worth a line, as a comment.
    void note(const Stamp &at, const std::string &text);

    // The expect line that the record becomes (without its comment).
    static std::string expectLine(const Decoded &what);

private:
    void pace(const Stamp &at);
    void line(const Stamp &at, const std::string &body, const std::string &comment);

    std::ostream &m_out;
    int64_t m_lastMs = -1;
    bool m_paced = true;
};

} // namespace mcusim

#endif // MCUSIM_CAPTURE_H

#include "capture.h"

namespace mcusim {

namespace {
// Gaps shorter than this are not worth a sleep line.
constexpr int64_t kMinSleepMs = 20;
constexpr const char *kExpectWithin = "within 5s";
} // namespace

void CaptureWriter::header(const std::string &text)
{
    m_out << "# " << text << "\n";
    m_out.flush();
}

void CaptureWriter::pace(const Stamp &at)
{
    if (m_paced && m_lastMs >= 0 && at.monoMs - m_lastMs >= kMinSleepMs)
        m_out << "sleep " << (at.monoMs - m_lastMs) << "ms\n";
}

void CaptureWriter::line(const Stamp &at, const std::string &body, const std::string &comment)
{
    // A comment takes no time in the replay: the pace runs on from the line before it.
    if (body.empty())
        m_out << "# " << at.wall << " " << comment << "\n";
    else
        m_out << body << "  # " << at.wall << (comment.empty() ? "" : " ") << comment << "\n";
    if (!body.empty())
        m_lastMs = at.monoMs;
    m_out.flush();
}

std::string CaptureWriter::expectLine(const Decoded &what)
{
    std::string s = "expect " + what.name;
    for (const Field &f : what.fields)
        if (f.stable)
            s += " " + f.key + "=" + quoteValue(f.value);
    return s + " " + kExpectWithin;
}

void CaptureWriter::sent(const Stamp &at, const std::string &commandText, const Decoded &what, int spentMs)
{
    pace(at);
    line(at, commandText, "-> " + what.text());
    m_lastMs = at.monoMs + spentMs;
}

void CaptureWriter::received(const Stamp &at, const Decoded &what)
{
    // Heartbeats come at the framework's own pace: replaying them as expectations
    // would tie the replay to that timer.
    if (what.name == "heartbeat")
        line(at, std::string(), "<- " + what.text());
    else
        line(at, expectLine(what), "<- " + what.text());
}

void CaptureWriter::connected(const Stamp &at)
{
    line(at, "wait-connect", "launcher connected");
}

void CaptureWriter::action(const Stamp &at, const std::string &commandText)
{
    pace(at);
    line(at, commandText, "");
}

void CaptureWriter::peerClosed(const Stamp &at)
{
    pace(at);
    line(at, "disconnect", "the launcher closed the connection; replayed as a disconnect");
}

void CaptureWriter::exited(const Stamp &at, int exitCode, const std::string &how)
{
    line(at, exitCode < 0 ? std::string() : "expect-exit " + std::to_string(exitCode),
         "the launcher ended: " + how);
}

void CaptureWriter::note(const Stamp &at, const std::string &text)
{
    line(at, std::string(), text);
}

} // namespace mcusim

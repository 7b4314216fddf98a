#include "launcherlog.h"

namespace mcusim {

namespace {
// Lines kept per stream: a launcher flooded for a while writes some 10^5.
constexpr size_t kKeptLines = 400000;
// A line longer than this is cut: nobody writes one, so the rest is noise.
constexpr size_t kLongestLine = 64 * 1024;
} // namespace

void LauncherLog::add(Stream s, std::string line, std::vector<std::string> *lines)
{
    Lines &st = m_streams[s];
    if (lines)
        lines->push_back(line);
    st.lines.push_back(std::move(line));
    if (st.lines.size() > kKeptLines) {
        st.lines.pop_front();
        ++st.dropped;
    }
}

void LauncherLog::append(Stream s, const char *data, size_t n, std::vector<std::string> *lines)
{
    std::string &partial = m_streams[s].partial;
    for (size_t i = 0; i < n; ++i) {
        if (data[i] == '\n') {
            add(s, std::move(partial), lines);
            partial.clear();
        } else if (partial.size() < kLongestLine) {
            partial += data[i];
        }
    }
}

void LauncherLog::finish(Stream s, std::vector<std::string> *lines)
{
    std::string &partial = m_streams[s].partial;
    if (!partial.empty())
        add(s, std::move(partial), lines);
    partial.clear();
}

void LauncherLog::restart()
{
    for (Lines &st : m_streams) {
        st.partial.clear();
        st.from = st.dropped + st.lines.size();
    }
    m_last = Out;
}

bool LauncherLog::findIn(Stream s, const std::string &text)
{
    Lines &st = m_streams[s];
    for (size_t i = st.from > st.dropped ? st.from - st.dropped : 0; i < st.lines.size(); ++i) {
        if (st.lines[i].find(text) != std::string::npos) {
            st.from = st.dropped + i + 1;
            m_last = s;
            return true;
        }
    }
    return false;
}

bool LauncherLog::findInOrder(const std::string &text)
{
    return findIn(m_last, text) || findIn(m_last == Out ? Err : Out, text);
}

bool LauncherLog::contains(const std::string &text) const
{
    for (const Lines &st : m_streams)
        for (const std::string &line : st.lines)
            if (line.find(text) != std::string::npos)
                return true;
    return false;
}

} // namespace mcusim

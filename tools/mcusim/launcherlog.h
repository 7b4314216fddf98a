#ifndef MCUSIM_LAUNCHERLOG_H
#define MCUSIM_LAUNCHERLOG_H

// What a launcher started by the simulator writes, line by line, for
// expect-log and expect-no-log. Its standard output and standard error are
// kept apart: a printed line and a log line have no defined order (the
// launcher writes them from a thread of its own), so order holds per stream.
// No I/O here: bytes in, lines out.

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

namespace mcusim {

class LauncherLog
{
public:
    enum Stream { Out = 0, Err = 1 };

    // Adds what a stream delivered; the lines it completed go to *lines.
    void append(Stream s, const char *data, size_t n, std::vector<std::string> *lines);
    // The stream ended: an unfinished last line counts as a line.
    void finish(Stream s, std::vector<std::string> *lines);
    // A fresh launcher: ordered searches start at the lines it writes.
    void restart();

    // The next line holding text, in order: searched in the stream of the
    // previous find first, then in the other, each after its previous find.
    // True (and the search moves past it) when there is one.
    bool findInOrder(const std::string &text);
    // Any line of any launcher so far that holds text.
    bool contains(const std::string &text) const;

private:
    struct Lines {
        std::deque<std::string> lines;
        size_t dropped = 0; // the oldest lines, let go to bound the memory
        size_t from = 0;    // where the next ordered search starts (counting the dropped)
        std::string partial;
    };
    void add(Stream s, std::string line, std::vector<std::string> *lines);
    bool findIn(Stream s, const std::string &text);

    Lines m_streams[2];
    Stream m_last = Out;
};

} // namespace mcusim

#endif // MCUSIM_LAUNCHERLOG_H

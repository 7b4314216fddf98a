#ifndef MCUSIM_WORDS_H
#define MCUSIM_WORDS_H

// The words of a command line and the values they spell: numbers, hex bytes,
// durations. Shared by every command's parser.

#include "codec.h"

#include <cstdint>
#include <string>
#include <vector>

namespace mcusim {

struct Word {
    std::string s;
    bool quoted = false; // written in double quotes: never a keyword

    bool is(const char *keyword) const { return !quoted && s == keyword; }
};
using Words = std::vector<Word>;

// Splits a line into words: blanks separate, double quotes group (with \" and
// \\ inside; key="two words" is one word), '#' at the start or after a blank
// begins a comment. False with *error on an open quote.
bool splitWords(const std::string &line, Words *words, std::string *error);

// The line without its comment and surrounding blanks, as the output and
// captures show it.
std::string commandText(const std::string &line);

// Decimal or 0x hex, no sign.
bool parseU64(const std::string &s, uint64_t *v);
bool parseU32(const std::string &s, uint32_t *v);
// A number with an optional leading '-' (for comparing field values).
bool parseSigned(const std::string &s, long double *v);

// Hex bytes ("0a", "0x0a") and quoted text (its bytes as they are), from
// words[from] on, appended to *out.
bool parseByteList(const Words &words, size_t from, Bytes *out, std::string *error);

// "5s", "250ms", "1.5s"; false otherwise.
bool parseDuration(const std::string &word, int *ms);
// A duration as the language writes it: "250ms".
std::string durationText(int ms);

} // namespace mcusim

#endif // MCUSIM_WORDS_H

#include "words.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace mcusim {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Appends the text of a quoted string that starts at *i (just after its opening
// quote) to out, with \" and \\ unescaped, and moves *i past the closing
// quote. False when the line ends first.
bool appendQuoted(const std::string &line, size_t *i, std::string *out)
{
    const size_t n = line.size();
    while (*i < n) {
        const char c = line[(*i)++];
        if (c == '\\' && *i < n)
            *out += line[(*i)++];
        else if (c == '"')
            return true;
        else
            *out += c;
    }
    return false;
}

bool hexDigit(char c, unsigned *v)
{
    if (c >= '0' && c <= '9')
        *v = unsigned(c - '0');
    else if (c >= 'a' && c <= 'f')
        *v = unsigned(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
        *v = unsigned(c - 'A' + 10);
    else
        return false;
    return true;
}

// A byte of a byte list: one or two hex digits, optionally 0x in front.
bool parseHexByte(const std::string &s, unsigned char *b)
{
    size_t at = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') ? 2 : 0;
    if (s.size() == at || s.size() - at > 2)
        return false;
    unsigned v = 0;
    for (; at < s.size(); ++at) {
        unsigned d;
        if (!hexDigit(s[at], &d))
            return false;
        v = v << 4 | d;
    }
    *b = static_cast<unsigned char>(v);
    return true;
}

} // namespace

bool splitWords(const std::string &line, Words *words, std::string *error)
{
    words->clear();
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        while (i < n && isBlank(line[i]))
            ++i;
        if (i >= n || line[i] == '#')
            break;
        Word w;
        w.quoted = line[i] == '"';
        while (i < n && !isBlank(line[i])) {
            if (line[i] != '"') {
                w.s += line[i++];
                continue;
            }
            ++i; // "quoted words" or key="two words"
            if (!appendQuoted(line, &i, &w.s)) {
                *error = "unterminated quote";
                return false;
            }
            if (w.quoted)
                break;
        }
        words->push_back(std::move(w));
    }
    return true;
}

std::string commandText(const std::string &line)
{
    const size_t b = line.find_first_not_of(" \t");
    std::string t = b == std::string::npos ? std::string() : line.substr(b);
    bool inQuote = false;
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '\\' && inQuote) {
            ++i;
        } else if (t[i] == '"') {
            inQuote = !inQuote;
        } else if (!inQuote && t[i] == '#' && i > 0 && (t[i - 1] == ' ' || t[i - 1] == '\t')) {
            t.resize(i);
            break;
        }
    }
    while (!t.empty() && isBlank(t.back()))
        t.pop_back();
    return t;
}

bool parseU64(const std::string &s, uint64_t *v)
{
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return false;
    int base = 10;
    const char *p = s.c_str();
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        p += 2;
    }
    errno = 0;
    char *end = nullptr;
    const unsigned long long r = std::strtoull(p, &end, base);
    if (errno || end == p || *end)
        return false;
    *v = r;
    return true;
}

bool parseU32(const std::string &s, uint32_t *v)
{
    uint64_t r;
    if (!parseU64(s, &r) || r > 0xffffffffull)
        return false;
    *v = uint32_t(r);
    return true;
}

bool parseSigned(const std::string &s, long double *v)
{
    uint64_t u;
    if (parseU64(s, &u)) {
        *v = static_cast<long double>(u);
        return true;
    }
    if (!s.empty() && s[0] == '-' && parseU64(s.substr(1), &u)) {
        *v = -static_cast<long double>(u);
        return true;
    }
    return false;
}

bool parseByteList(const Words &words, size_t from, Bytes *out, std::string *error)
{
    for (size_t i = from; i < words.size(); ++i) {
        if (words[i].quoted) {
            out->insert(out->end(), words[i].s.begin(), words[i].s.end());
            continue;
        }
        unsigned char b;
        if (!parseHexByte(words[i].s, &b)) {
            *error = "not a hex byte: '" + words[i].s + "'";
            return false;
        }
        out->push_back(b);
    }
    return true;
}

bool parseDuration(const std::string &word, int *ms)
{
    double factor;
    std::string digits;
    if (word.size() > 2 && word.compare(word.size() - 2, 2, "ms") == 0) {
        factor = 1;
        digits = word.substr(0, word.size() - 2);
    } else if (word.size() > 1 && word.back() == 's') {
        factor = 1000;
        digits = word.substr(0, word.size() - 1);
    } else {
        return false;
    }
    if (digits.empty() || digits.find_first_not_of("0123456789.") != std::string::npos)
        return false;
    char *end = nullptr;
    const double v = std::strtod(digits.c_str(), &end);
    if (!end || *end || !std::isfinite(v) || v * factor > 24.0 * 3600 * 1000)
        return false;
    *ms = int(std::lround(v * factor));
    return true;
}

std::string durationText(int ms) { return std::to_string(ms) + "ms"; }

} // namespace mcusim

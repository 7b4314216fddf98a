#include "placeholders.h"

#include "codec.h"
#include "words.h"

#include <cmath>
#include <cstdio>

namespace mcusim {

namespace {

// "today 13:05[:00]": that time of the local date of `now`.
bool todayAt(const std::string &clock, std::time_t now, int64_t *secs)
{
    struct tm t;
    if (!localtime_r(&now, &t))
        return false;
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", &t);
    return parseLocalTime(std::string(date) + " " + clock, secs);
}

bool be32(const std::string &when, std::time_t now, std::string *out, std::string *error)
{
    int64_t secs = 0;
    const bool ok = when.compare(0, 6, "today ") == 0 ? todayAt(when.substr(6), now, &secs)
                                                      : parseLocalTime(when, &secs);
    if (!ok || secs < 0 || secs > int64_t(UINT32_MAX)) {
        *error = "not a time for BE32: '" + when + "' (today HH:MM[:SS] or YYYY-MM-DD[ HH:MM[:SS]])";
        return false;
    }
    char buf[16];
    const auto v = uint32_t(secs);
    std::snprintf(buf, sizeof buf, "%02X %02X %02X %02X", v >> 24, v >> 16 & 255, v >> 8 & 255, v & 255);
    *out = buf;
    return true;
}

bool scaled(const std::string &duration, double scale, std::string *out, std::string *error)
{
    int ms;
    if (!parseDuration(duration, &ms)) {
        *error = "not a duration for SCALED: '" + duration + "'";
        return false;
    }
    *out = durationText(int(std::lround(ms * scale)));
    return true;
}

bool fill(const std::string &inside, const PlaceholderValues &v, std::string *out, std::string *error)
{
    if (inside.compare(0, 7, "SCALED ") == 0)
        return scaled(inside.substr(7), v.timeScale, out, error);
    if (inside.compare(0, 5, "BE32 ") == 0)
        return be32(inside.substr(5), v.now ? v.now : std::time(nullptr), out, error);
    if (v.defines) {
        const auto it = v.defines->find(inside);
        if (it != v.defines->end()) {
            *out = it->second;
            return true;
        }
    }
    *error = "${" + inside + "} is not defined (mcusim -D " + inside + "=VALUE)";
    return false;
}

} // namespace

bool expandPlaceholders(const std::string &line, const PlaceholderValues &values, std::string *out,
                        std::string *error)
{
    out->clear();
    size_t at = 0;
    for (;;) {
        const size_t open = line.find("${", at);
        if (open == std::string::npos)
            break;
        const size_t close = line.find('}', open);
        if (close == std::string::npos) {
            *error = "unterminated ${";
            return false;
        }
        std::string value;
        if (!fill(line.substr(open + 2, close - open - 2), values, &value, error))
            return false;
        *out += line.substr(at, open - at) + value;
        at = close + 1;
    }
    *out += line.substr(at);
    return true;
}

} // namespace mcusim

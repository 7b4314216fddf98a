#ifndef MCUSIM_PLACEHOLDERS_H
#define MCUSIM_PLACEHOLDERS_H

// Placeholders in a command line, filled in before the line is read:
//   ${NAME}         the value defined for NAME (mcusim -D NAME=VALUE)
//   ${SCALED N}     the duration N (2s, 250ms) times the time scale
//   ${BE32 WHEN}    the seconds since the epoch of WHEN, local time, as four hex
//                   bytes most significant first; WHEN is "today HH:MM[:SS]" or
//                   "YYYY-MM-DD[ HH:MM[:SS]]"

#include <ctime>
#include <map>
#include <string>

namespace mcusim {

struct PlaceholderValues {
    double timeScale = 1;
    const std::map<std::string, std::string> *defines = nullptr;
    std::time_t now = 0; // "today" is the local date of this; 0: the clock's now
};

bool expandPlaceholders(const std::string &line, const PlaceholderValues &values, std::string *out,
                        std::string *error);

} // namespace mcusim

#endif // MCUSIM_PLACEHOLDERS_H

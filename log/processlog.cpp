#include "processlog.h"

#include "linkconsole.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace processlog {

void out(Priority, const char *text, size_t len)
{
    LinkConsole::instance().write(text, len);
}

void outf(Priority priority, const char *format, ...)
{
    char line[LinkConsole::kMaxLine];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n <= 0)
        return;
    size_t len = size_t(n);
    if (len >= sizeof line) {
        len = sizeof line - 1;
        line[len - 1] = '\n';
    }
    out(priority, line, len);
}

bool recordLines()
{
    static const bool on = [] {
        const char *v = std::getenv("LAUNCHER_MCU_RECORD_LINES");
        return !v || std::strcmp(v, "off") != 0;
    }();
    return on;
}

bool flush(int timeoutMs)
{
    return LinkConsole::instance().flush(timeoutMs);
}

} // namespace processlog

#include "commandline.h"

#include <QtGlobal>

#include <cstring>

#ifndef LAUNCHER_VERSION_FULL
#error "LAUNCHER_VERSION_FULL must be defined by the build"
#endif

namespace commandline {

namespace {

void printVersion(std::FILE *out)
{
    std::fprintf(out,
                 "launcher %s\n"
                 "commit:        %s\n"
                 "built:         %s %s UTC\n"
                 "Qt:            %s (built against %s)\n"
                 "system clock:  %s\n",
                 LAUNCHER_VERSION_FULL, LAUNCHER_COMMIT, buildDate(), buildTime(), qVersion(),
                 QT_VERSION_STR,
                 LAUNCHER_SETS_SYSTEM_CLOCK ? "set from MCU time"
                                            : "not set; the time the MCU reports is logged");
}

void printHelp(std::FILE *out)
{
    std::fprintf(
        out,
        "Usage: launcher [QT-OPTION]...\n"
        "The head unit's user-interface process: applies the saved configuration, brings\n"
        "up the application framework, links to the MCU service and runs the event loop.\n"
        "Normally started by systemd as headunit-launcher.service.\n"
        "\n"
        "  -h, --help     show this text and exit\n"
        "      --version  show the version, commit, build date and Qt version and exit\n"
        "Any other argument goes to Qt unchanged (for instance -platform offscreen).\n"
        "\n"
        "Environment (the service reads it from %s):\n"
        "  QT_QPA_PLATFORM            Qt's platform plugin: eglfs, wayland, offscreen, ...\n"
        "  LAUNCHER_MCU_SERVICE_USER  the MCU service's user, trusted as the link's peer\n"
        "                             besides root and the launcher's own user\n"
        "                             (built-in default: %s)\n"
        "  LAUNCHER_MCU_RECORD_LINES  off: one summary a minute instead of a line for\n"
        "                             every MCU record\n"
        "  LAUNCHER_MCU_CAPTURE       FILE: write the MCU link's records to FILE (pcapng,\n"
        "                             for Wireshark; at most 16 MiB, then FILE.1)\n"
        "  XDG_CONFIG_HOME            the settings are $XDG_CONFIG_HOME/headunit/sysset.ini\n"
        "  NOTIFY_SOCKET, WATCHDOG_USEC  set by systemd: readiness, status, watchdog\n"
        "\n"
        "Exit status: the event loop's; 0 after --help or --version.\n"
        "See launcher(8).\n",
        LAUNCHER_DEFAULTS_FILE,
        LAUNCHER_MCU_SERVICE_USER[0] ? LAUNCHER_MCU_SERVICE_USER : "none");
}

} // namespace

int answerInformational(int argc, char **argv, std::FILE *out)
{
    for (int i = 1; i < argc; ++i) {
        const bool help = std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0;
        if (!help && std::strcmp(argv[i], "--version") != 0)
            continue;
        help ? printHelp(out) : printVersion(out);
        // An answer that did not reach its reader (a full disk, a closed pipe) is a failure.
        return std::fflush(out) == 0 && !std::ferror(out) ? 0 : 1;
    }
    return -1;
}

const char *buildDate()
{
    return __DATE__;
}

const char *buildTime()
{
    return __TIME__;
}

const char *version()
{
    return LAUNCHER_VERSION_FULL;
}

} // namespace commandline

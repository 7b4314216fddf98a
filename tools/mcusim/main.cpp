// mcusim: the MCU service for the launcher's socket, on a desk or in a test.

#include "faultmode.h"
#include "simulator.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void usage(FILE *to)
{
    std::fputs(
        "usage: mcusim [options] [SCENARIO]\n"
        "Listens where the launcher connects, shows every record in both directions,\n"
        "and sends what a scenario file or the prompt says.\n"
        "\n"
        "  -s, --scenario FILE   play FILE; exit 0 only if every expectation was met\n"
        "  -n, --name NAME       service name: abstract NAME or @NAME (default quillhaven),\n"
        "                        or a socket path starting with /\n"
        "  -m, --monitor         no commands: show the traffic until SIGINT/SIGTERM\n"
        "  -c, --capture FILE    write the session to FILE as a replayable scenario\n"
        "  -t, --timeout DUR     default time an expect line waits (default 5s)\n"
        "  -x, --hex             show the bytes of every record too\n"
        "  -q, --quiet-heartbeats  count heartbeats without a line each\n"
        "  -h, --help            this text\n"
        "      --serve MODE      a fault or load service instead (mcusim --serve help)\n"
        "Without a scenario, commands are read from standard input (a prompt on a terminal).\n"
        "Exit codes: 0 ok, 1 an expectation or command failed, 2 bad options or scenario,\n"
        "3 cannot listen, 4 interrupted before the scenario's end.\n",
        to);
}

} // namespace

int main(int argc, char **argv)
{
    if (mcusim::wantsServe(argc, argv))
        return mcusim::runServe(argc, argv);
    mcusim::SimOptions opt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char *what) -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "mcusim: %s needs %s\n", a.c_str(), what);
                std::exit(mcusim::kExitUsage);
            }
            return argv[++i];
        };
        if (a == "-s" || a == "--scenario") {
            opt.scenarioPath = value("a file");
        } else if (a == "-n" || a == "--name") {
            opt.name = value("a name");
        } else if (a == "-m" || a == "--monitor") {
            opt.monitor = true;
        } else if (a == "-c" || a == "--capture") {
            opt.capturePath = value("a file");
        } else if (a == "-t" || a == "--timeout") {
            const char *v = value("a duration");
            if (!mcusim::parseDuration(v, &opt.parse.expectTimeoutMs)) {
                std::fprintf(stderr, "mcusim: not a duration: %s (e.g. 5s, 500ms)\n", v);
                return mcusim::kExitUsage;
            }
        } else if (a == "-x" || a == "--hex") {
            opt.showHex = true;
        } else if (a == "-q" || a == "--quiet-heartbeats") {
            opt.quietHeartbeats = true;
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            return mcusim::kExitOk;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "mcusim: unknown option %s\n", a.c_str());
            usage(stderr);
            return mcusim::kExitUsage;
        } else if (opt.scenarioPath.empty()) {
            opt.scenarioPath = a;
        } else {
            std::fprintf(stderr, "mcusim: one scenario at a time (%s)\n", a.c_str());
            return mcusim::kExitUsage;
        }
    }
    if (opt.monitor && !opt.scenarioPath.empty()) {
        std::fprintf(stderr, "mcusim: --monitor takes no scenario\n");
        return mcusim::kExitUsage;
    }
    mcusim::Simulator sim(opt);
    return sim.run();
}

// mcusim: the MCU service for the launcher's socket, on a desk or in a test.

#include "faultmode.h"
#include "pcapreplay.h"
#include "simulator.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using mcusim::SimOptions;

// One option: its names, what its value is called (null: none), its help
// line, and what it does with the value; false when the value is bad.
struct Option {
    const char *shortName;
    const char *longName;
    const char *value;
    const char *help;
    bool (*apply)(SimOptions &opt, const char *value);
};

bool setTimeScale(SimOptions &opt, const char *v)
{
    char *end = nullptr;
    const double k = std::strtod(v, &end);
    if (!end || *end || !std::isfinite(k) || k < 1 || k > 100)
        return false;
    opt.parse.timeScale = k;
    // The waits for what the launcher does itself grow with it.
    opt.parse.logTimeoutMs = int(std::lround(opt.parse.logTimeoutMs * k));
    opt.parse.exitTimeoutMs = int(std::lround(opt.parse.exitTimeoutMs * k));
    return true;
}

bool define(SimOptions &opt, const char *v)
{
    const char *eq = std::strchr(v, '=');
    if (!eq || eq == v)
        return false;
    opt.parse.defines[std::string(v, eq)] = eq + 1;
    return true;
}

const Option kOptions[] = {
    {"-s", "--scenario", "FILE", "play FILE; exit 0 only if every expectation was met",
     [](SimOptions &o, const char *v) { return o.scenarioPath = v, true; }},
    {"-n", "--name", "NAME", "service name: abstract NAME or @NAME (default quillhaven),\n"
                             "                        or a socket path starting with /",
     [](SimOptions &o, const char *v) { return o.name = v, true; }},
    {"-m", "--monitor", nullptr, "no commands: show the traffic until SIGINT/SIGTERM",
     [](SimOptions &o, const char *) { return o.monitor = true; }},
    {"-c", "--capture", "FILE", "write the session to FILE as a replayable scenario",
     [](SimOptions &o, const char *v) { return o.capturePath = v, true; }},
    {nullptr, "--pcap", "FILE", "also write every record both ways to FILE (pcapng, for Wireshark)",
     [](SimOptions &o, const char *v) { return o.pcapPath = v, true; }},
    {nullptr, "--fast", nullptr, "play a pcapng capture (-s FILE.pcapng) without its pauses",
     [](SimOptions &o, const char *) { return o.fast = true; }},
    {"-t", "--timeout", "DUR", "default time an expect line waits (default 5s)",
     [](SimOptions &o, const char *v) { return mcusim::parseDuration(v, &o.parse.expectTimeoutMs); }},
    {"-x", "--hex", nullptr, "show the bytes of every record too",
     [](SimOptions &o, const char *) { return o.showHex = true; }},
    {"-q", "--quiet-heartbeats", nullptr, "count heartbeats without a line each",
     [](SimOptions &o, const char *) { return o.quietHeartbeats = true; }},
    {"-D", "--define", "NAME=VALUE", "a value for ${NAME} and 'if NAME=VALUE' in the scenario", define},
    {nullptr, "--time-scale", "K", "multiply ${SCALED ...} and the waits for the launcher by K (1..100)",
     setTimeScale},
};

void usage(FILE *to)
{
    std::fputs("usage: mcusim [options] [SCENARIO] [--launcher PROGRAM [ARGS...]]\n"
               "Listens where the launcher connects, shows every record in both directions,\n"
               "and sends what a scenario file or the prompt says.\n\n",
               to);
    for (const Option &o : kOptions) {
        std::string names = std::string(o.shortName ? o.shortName : "   ") + (o.shortName ? ", " : " ") +
                            o.longName + (o.value ? std::string(" ") + o.value : "");
        std::fprintf(to, "  %-22s%s%s\n", names.c_str(), names.size() > 21 ? "\n                        " : "",
                     o.help);
    }
    std::fputs("  -h, --help            this text\n"
               "      --version         the version\n"
               "      --serve MODE      a fault or load service instead (mcusim --serve help)\n"
               "      --names FILE      the name of every record of a pcapng capture, and exit\n"
               "      --dissector-table the Wireshark dissector's table of names, and exit\n"
               "  --launcher PROGRAM [ARGS...]  the rest of the line: the launcher that the launch\n"
               "                        command starts (an emulator in front where one is needed)\n"
               "Without a scenario, commands are read from standard input (on a terminal, a prompt\n"
               "with line editing and history; Ctrl-C there cancels the command that waits).\n"
               "Exit codes: 0 ok, 1 an expectation or command failed, 2 bad options or scenario,\n"
               "3 cannot listen, 4 interrupted before the scenario's end.\n",
               to);
}

const Option *findOption(const std::string &a)
{
    for (const Option &o : kOptions)
        if ((o.shortName && a == o.shortName) || a == o.longName)
            return &o;
    return nullptr;
}

int printNames(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    std::string lines, why;
    if (!in || !mcusim::pcapngNames(bytes.str(), &lines, &why)) {
        std::fprintf(stderr, "mcusim: %s: %s\n", path, in ? why.c_str() : std::strerror(errno));
        return mcusim::kExitFailed;
    }
    std::fputs(lines.c_str(), stdout);
    return mcusim::kExitOk;
}

} // namespace

int main(int argc, char **argv)
{
    if (mcusim::wantsServe(argc, argv))
        return mcusim::runServe(argc, argv);
    SimOptions opt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--launcher") {
            opt.launcher.assign(argv + i + 1, argv + argc);
            if (opt.launcher.empty()) {
                std::fprintf(stderr, "mcusim: --launcher needs a program\n");
                return mcusim::kExitUsage;
            }
            break;
        }
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return mcusim::kExitOk;
        }
        // For the tree's checks: the dissector's table of names, and the names
        // of a capture's records as the table and the decoder give them.
        if (a == "--dissector-table") {
            std::fputs(mcusim::dissectorTable().c_str(), stdout);
            return mcusim::kExitOk;
        }
        if (a == "--names" && i + 1 < argc)
            return printNames(argv[i + 1]);
        if (a == "--version") {
            std::printf("mcusim %s\n", MCUSIM_VERSION);
            return mcusim::kExitOk;
        }
        if (const Option *o = findOption(a)) {
            if (o->value && i + 1 >= argc) {
                std::fprintf(stderr, "mcusim: %s needs %s\n", a.c_str(), o->value);
                return mcusim::kExitUsage;
            }
            const char *v = o->value ? argv[++i] : nullptr;
            if (!o->apply(opt, v)) {
                std::fprintf(stderr, "mcusim: bad %s for %s: %s\n", o->value, a.c_str(), v);
                return mcusim::kExitUsage;
            }
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
    opt.lineEditor = mcusim::makeLineEditor;
    mcusim::Simulator sim(opt);
    return sim.run();
}

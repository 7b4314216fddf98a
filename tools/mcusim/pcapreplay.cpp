#include "pcapreplay.h"

#include "capture.h"
#include "codec.h"
#include "mcumessages.h"
#include "pcapng.h"

#include <ctime>
#include <sstream>
#include <vector>

namespace mcusim {

namespace {

// Which way a record of the capture went on the link: the interface name
// says which end wrote it.
bool wayOf(const pcapng::Packet &p, mcu::Way *way, std::string *why)
{
    bool launcherSide;
    if (p.interfaceName == pcapng::kLauncherSide)
        launcherSide = true;
    else if (p.interfaceName == pcapng::kServiceSide)
        launcherSide = false;
    else
        return *why = "interface \"" + p.interfaceName + "\" is not one of the MCU link's ends", false;
    if (p.dir == pcapng::Direction::Unknown)
        return *why = "a record without its direction", false;
    const bool inbound = p.dir == pcapng::Direction::Inbound;
    *way = launcherSide == inbound ? mcu::Way::ToApp : mcu::Way::ToMcu;
    return true;
}

bool readCapture(const std::string &bytes, std::vector<pcapng::Packet> *packets, std::string *why)
{
    if (!pcapng::read(bytes, packets, why))
        return false;
    if (packets->empty())
        return *why = "the capture holds no record", false;
    return true;
}

CaptureWriter::Stamp stampOf(const pcapng::Packet &p, uint64_t first)
{
    CaptureWriter::Stamp st;
    st.monoMs = int64_t((p.usec - first) / 1000);
    const time_t secs = time_t(p.usec / 1000000);
    struct tm tmv;
    char buf[32] = "?";
    if (localtime_r(&secs, &tmv)) {
        std::strftime(buf, sizeof buf, "%H:%M:%S", &tmv);
        std::snprintf(buf + 8, sizeof buf - 8, ".%03u", unsigned(p.usec / 1000 % 1000));
    }
    st.wall = buf;
    return st;
}

// What of the launcher's record a replay may expect: the answers it makes to
// the MCU itself. What the framework sends depends on the unit's libraries.
bool expected(Decoded &d)
{
    if (d.name == "app-ready" || d.name == "param-ack" || d.name == "time-clock")
        return true;
    if (d.name == "version-report") {
        // The texts are those of the unit that was captured; the layout is the launcher's.
        Field layout = *d.field("layout");
        d.fields = {layout};
        return true;
    }
    return false;
}

} // namespace

bool scenarioFromPcapng(const std::string &bytes, bool fast, std::string *scenario, std::string *why)
{
    std::vector<pcapng::Packet> packets;
    if (!readCapture(bytes, &packets, why))
        return false;
    std::ostringstream out;
    CaptureWriter w(out);
    w.setPaced(!fast);
    w.header("the MCU side of a pcapng capture (" + packets.front().interfaceName + "), " +
             std::to_string(packets.size()) + " records" + (fast ? ", without its pauses" : ""));
    unsigned connection = 0;
    bool first = true;
    for (const pcapng::Packet &p : packets) {
        mcu::Way way;
        if (!wayOf(p, &way, why))
            return false;
        const CaptureWriter::Stamp at = stampOf(p, packets.front().usec);
        if (first || p.connection != connection) {
            if (!first)
                w.peerClosed(at);
            w.connected(at);
            connection = p.connection;
            first = false;
        }
        if (way == mcu::Way::ToApp) {
            w.sent(at, "hex " + hexString(p.data), decodeToLauncher(p.data));
            continue;
        }
        Decoded d = decodeFromLauncher(p.data);
        if (expected(d))
            w.received(at, d);
        else
            w.note(at, "<- " + d.text());
    }
    *scenario = out.str();
    return true;
}

bool pcapngNames(const std::string &bytes, std::string *lines, std::string *why)
{
    std::vector<pcapng::Packet> packets;
    if (!readCapture(bytes, &packets, why))
        return false;
    std::string text;
    size_t number = 0;
    for (const pcapng::Packet &p : packets) {
        ++number;
        mcu::Way way;
        if (!wayOf(p, &way, why))
            return false;
        const mcu::MessageName *m = mcu::messageName(way, p.data.data(), p.data.size());
        const std::string decoded =
            (way == mcu::Way::ToApp ? decodeToLauncher(p.data) : decodeFromLauncher(p.data)).name;
        if (!m || decoded != m->simName) {
            *why = "record " + std::to_string(number) + ": the decoder names it " + decoded +
                   ", the table " + (m ? m->simName : "nothing");
            return false;
        }
        text += std::to_string(number) + (way == mcu::Way::ToApp ? " m2a " : " a2m ") + m->name + " " +
                std::to_string(p.connection) + " " + hexString(p.data) + "\n";
    }
    *lines = text;
    return true;
}

std::string dissectorTable()
{
    std::string t = "local names = {\n";
    for (const mcu::MessageName &m : mcu::kMessageNames) {
        t += std::string("    { way = \"") + (m.way == mcu::Way::ToApp ? "m2a" : "a2m") +
             "\", kind = " + std::to_string(m.kind) + ", first = " + std::to_string(m.first) +
             ", last = " + std::to_string(m.last) + ", p1 = " + std::to_string(m.p1) + ", name = \"" + m.name +
             "\" },\n";
    }
    return t + "}\n";
}

} // namespace mcusim

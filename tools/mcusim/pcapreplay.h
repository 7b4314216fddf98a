#ifndef MCUSIM_PCAPREPLAY_H
#define MCUSIM_PCAPREPLAY_H

// A pcapng capture of the MCU link (the launcher's or mcusim's own) as a
// scenario that plays its MCU side against a launcher.

#include <string>

namespace mcusim {

// The scenario: each record the MCU service sent becomes a hex line, sleep
// lines keeping the recorded pace unless `fast`; a new connection number
// becomes disconnect (after the first) and wait-connect; of the launcher's
// records, those it sends the same way each time become expect lines (the
// ready notice, the parameter answer, the clock echo without its time, the
// version report's layout) and the others comments. False with a reason
// when the bytes are no capture of the link.
bool scenarioFromPcapng(const std::string &bytes, bool fast, std::string *scenario, std::string *why);

// For every record of the capture, one line: its number, its direction
// (m2a/a2m), its name from the link's table of names, its connection and
// its bytes in hex. False with a reason
// when the capture cannot be read, or the simulator's decoder names a record
// otherwise than the table does.
bool pcapngNames(const std::string &bytes, std::string *lines, std::string *why);

// The Lua table of names for the dissector (tools/mcusim/wireshark/mcu.lua).
std::string dissectorTable();

} // namespace mcusim

#endif // MCUSIM_PCAPREPLAY_H

#ifndef PCAPNG_H
#define PCAPNG_H

// Captures of the MCU link in the pcapng format that Wireshark and tshark
// read: one section header, one interface (link type USER0, microsecond
// timestamps) and one enhanced packet block per whole record, with the
// direction the record travelled in the block's flags and the connection's
// number in its comment. Both ends of the link write it (the launcher from
// its capture thread, mcusim from its loop) and mcusim reads it back to
// replay a capture. Written little-endian whatever the host is; read in
// either byte order.
//
// Written by hand rather than through libpcap: its pcapng writing cannot set
// a packet's direction flags or comment, and the four block shapes used here
// are a page of the format's description.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pcapng {

// LINKTYPE_USER0: reserved for private protocols; the dissector claims it.
constexpr uint16_t kLinkTypeUser0 = 147;

// The interface name tells which end wrote the capture, so that a reader can
// turn "inbound"/"outbound" into the record's direction on the link.
constexpr char kLauncherSide[] = "mcu-link@launcher";
constexpr char kServiceSide[] = "mcu-link@mcu-service";

enum class Direction : uint32_t {
    Unknown = 0,
    Inbound = 1,  // received by the end that wrote the capture
    Outbound = 2, // sent by it
};

// The blocks, as bytes. appName goes into the section's shb_userappl option,
// interfaceName into the interface's if_name.
std::vector<unsigned char> sectionHeader(const std::string &appName);
std::vector<unsigned char> interfaceDescription(const std::string &interfaceName);
// Appends one enhanced packet block for `len` bytes, stamped `usec`
// microseconds since the epoch, with the comment "connection N".
void appendPacket(std::vector<unsigned char> &out, uint64_t usec, Direction dir, unsigned connection,
                  const unsigned char *data, size_t len);

// Microseconds since the epoch, now (the wall clock: what a capture shows).
uint64_t nowUsec();

// A capture file: the headers once, then one block per record, flushed as it
// goes. With a size limit, a block that would take the file past it moves
// the file to FILE.1 (replacing an older one) and starts FILE anew, headers
// first, so that at most twice the limit is kept. Not thread-safe: one owner.
class Writer
{
public:
    Writer() = default;
    ~Writer();
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // maxBytes 0: no limit. False with errno set when FILE cannot be made.
    bool open(const std::string &path, const std::string &appName, const std::string &interfaceName,
              uint64_t maxBytes = 0);
    // False when the write failed (the file is closed then, and stays so).
    bool write(uint64_t usec, Direction dir, unsigned connection, const unsigned char *data, size_t len);
    void close();
    bool isOpen() const { return m_file != nullptr; }
    unsigned rotations() const { return m_rotations; }
    const std::string &path() const { return m_path; }

private:
    bool start();

    std::FILE *m_file = nullptr;
    std::string m_path, m_app, m_interface;
    uint64_t m_max = 0;
    uint64_t m_size = 0;
    uint64_t m_headerSize = 0;
    unsigned m_rotations = 0;
    std::vector<unsigned char> m_block;
};

// One record of a capture, as read back.
struct Packet {
    uint64_t usec = 0;
    Direction dir = Direction::Unknown;
    unsigned connection = 0; // 0: the block carried no "connection N" comment
    std::string interfaceName;
    std::vector<unsigned char> data;
};

// Whether the bytes begin like a pcapng file.
bool looksLikePcapng(const std::string &bytes);
// Reads every enhanced packet block of every section; other blocks are
// passed over. False with a reason when the file is not pcapng or is cut
// short; the packets read up to there stay in `out`.
bool read(const std::string &bytes, std::vector<Packet> *out, std::string *why);

} // namespace pcapng

#endif // PCAPNG_H

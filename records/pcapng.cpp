#include "pcapng.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace pcapng {

namespace {

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 0x00000001;
constexpr uint32_t kEnhancedPacket = 0x00000006;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;

constexpr uint16_t kOptEnd = 0;
constexpr uint16_t kOptComment = 1;
constexpr uint16_t kShbUserAppl = 4;
constexpr uint16_t kIfName = 2;
constexpr uint16_t kIfTsresol = 9;
constexpr uint16_t kEpbFlags = 2;

constexpr char kConnectionComment[] = "connection ";

using Bytes = std::vector<unsigned char>;

void put16(Bytes &b, uint16_t v)
{
    b.push_back(static_cast<unsigned char>(v));
    b.push_back(static_cast<unsigned char>(v >> 8));
}
void put32(Bytes &b, uint32_t v)
{
    put16(b, static_cast<uint16_t>(v));
    put16(b, static_cast<uint16_t>(v >> 16));
}
void pad4(Bytes &b)
{
    while (b.size() % 4)
        b.push_back(0);
}
void option(Bytes &b, uint16_t code, const void *value, size_t len)
{
    put16(b, code);
    put16(b, static_cast<uint16_t>(len));
    const auto *p = static_cast<const unsigned char *>(value);
    b.insert(b.end(), p, p + len);
    pad4(b);
}
void option(Bytes &b, uint16_t code, const std::string &text) { option(b, code, text.data(), text.size()); }

// Opens a block at b's end; close() fills in both length words.
size_t openBlock(Bytes &b, uint32_t type)
{
    const size_t at = b.size();
    put32(b, type);
    put32(b, 0);
    return at;
}
void closeBlock(Bytes &b, size_t at)
{
    put16(b, kOptEnd);
    put16(b, 0);
    const uint32_t total = uint32_t(b.size() - at + 4);
    put32(b, total);
    for (int i = 0; i < 4; ++i)
        b[at + 4 + size_t(i)] = static_cast<unsigned char>(total >> (8 * i));
}

} // namespace

Bytes sectionHeader(const std::string &appName)
{
    Bytes b;
    const size_t at = openBlock(b, kSectionHeader);
    put32(b, kByteOrderMagic);
    put16(b, 1); // version 1.0
    put16(b, 0);
    put32(b, 0xFFFFFFFF); // section length not given
    put32(b, 0xFFFFFFFF);
    option(b, kShbUserAppl, appName);
    closeBlock(b, at);
    return b;
}

Bytes interfaceDescription(const std::string &interfaceName)
{
    Bytes b;
    const size_t at = openBlock(b, kInterfaceDescription);
    put16(b, kLinkTypeUser0);
    put16(b, 0);
    put32(b, 0); // no snapshot limit: every record is whole
    option(b, kIfName, interfaceName);
    const unsigned char micro = 6;
    option(b, kIfTsresol, &micro, 1);
    closeBlock(b, at);
    return b;
}

void appendPacket(Bytes &out, uint64_t usec, Direction dir, unsigned connection, const unsigned char *data,
                  size_t len)
{
    const size_t at = openBlock(out, kEnhancedPacket);
    put32(out, 0); // the one interface
    put32(out, uint32_t(usec >> 32));
    put32(out, uint32_t(usec));
    put32(out, uint32_t(len));
    put32(out, uint32_t(len));
    out.insert(out.end(), data, data + len);
    pad4(out);
    const uint32_t flags = static_cast<uint32_t>(dir);
    const unsigned char f[4] = {static_cast<unsigned char>(flags), 0, 0, 0};
    option(out, kEpbFlags, f, 4);
    option(out, kOptComment, kConnectionComment + std::to_string(connection));
    closeBlock(out, at);
}

uint64_t nowUsec()
{
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

// --- Writer

Writer::~Writer() { close(); }

bool Writer::open(const std::string &path, const std::string &appName, const std::string &interfaceName,
                  uint64_t maxBytes)
{
    close();
    m_path = path;
    m_app = appName;
    m_interface = interfaceName;
    m_max = maxBytes;
    m_rotations = 0;
    return start();
}

bool Writer::start()
{
    m_file = std::fopen(m_path.c_str(), "wbe");
    if (!m_file)
        return false;
    m_block = sectionHeader(m_app);
    const Bytes idb = interfaceDescription(m_interface);
    m_block.insert(m_block.end(), idb.begin(), idb.end());
    m_size = m_headerSize = m_block.size();
    if (std::fwrite(m_block.data(), 1, m_block.size(), m_file) != m_block.size() || std::fflush(m_file) != 0) {
        close();
        return false;
    }
    return true;
}

bool Writer::write(uint64_t usec, Direction dir, unsigned connection, const unsigned char *data, size_t len)
{
    if (!m_file)
        return false;
    m_block.clear();
    appendPacket(m_block, usec, dir, connection, data, len);
    // A file that holds no record yet takes one larger than the limit all the same.
    if (m_max > 0 && m_size + m_block.size() > m_max && m_size > m_headerSize) {
        Bytes packet;
        packet.swap(m_block);
        std::fclose(m_file);
        m_file = nullptr;
        if (std::rename(m_path.c_str(), (m_path + ".1").c_str()) != 0 || !start())
            return close(), false;
        ++m_rotations;
        m_block.swap(packet);
    }
    if (std::fwrite(m_block.data(), 1, m_block.size(), m_file) != m_block.size() || std::fflush(m_file) != 0) {
        close();
        return false;
    }
    m_size += m_block.size();
    return true;
}

void Writer::close()
{
    if (m_file)
        std::fclose(m_file);
    m_file = nullptr;
}

// --- Reading

bool looksLikePcapng(const std::string &bytes)
{
    return bytes.size() >= 12 && std::memcmp(bytes.data(), "\x0A\x0D\x0D\x0A", 4) == 0;
}

namespace {

struct Reader {
    const unsigned char *p;
    size_t n;
    bool big = false;

    uint32_t u32(size_t at) const
    {
        const unsigned char *q = p + at;
        return big ? uint32_t(q[0]) << 24 | uint32_t(q[1]) << 16 | uint32_t(q[2]) << 8 | q[3]
                   : uint32_t(q[3]) << 24 | uint32_t(q[2]) << 16 | uint32_t(q[1]) << 8 | q[0];
    }
    uint16_t u16(size_t at) const
    {
        const unsigned char *q = p + at;
        return big ? uint16_t(q[0] << 8 | q[1]) : uint16_t(q[1] << 8 | q[0]);
    }
};

struct Interface {
    std::string name;
    uint64_t unitsPerSecond = 1000000;
};

} // namespace

bool read(const std::string &bytes, std::vector<Packet> *out, std::string *why)
{
    Reader r{reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size()};
    std::vector<Interface> interfaces;
    size_t at = 0;
    auto fail = [&](const std::string &reason) {
        if (why)
            *why = reason + " at byte " + std::to_string(at);
        return false;
    };
    if (!looksLikePcapng(bytes))
        return fail("not a pcapng file");
    while (at < r.n) {
        if (r.n - at < 12)
            return fail("cut short");
        const uint32_t type = r.u32(at);
        if (type == kSectionHeader) {
            const uint32_t magic = r.u32(at + 8);
            if (magic != kByteOrderMagic) {
                r.big = !r.big;
                if (r.u32(at + 8) != kByteOrderMagic)
                    return fail("bad byte-order magic");
            }
            interfaces.clear();
        }
        const uint32_t total = r.u32(at + 4);
        if (total < 12 || total % 4 || total > r.n - at)
            return fail("bad block length");
        const size_t body = at + 8, end = at + total - 4;
        size_t opts = end; // where the block's options start
        if (type == kInterfaceDescription) {
            interfaces.emplace_back();
            opts = body + 8;
        } else if (type == kSectionHeader) {
            opts = body + 16;
        } else if (type == kEnhancedPacket) {
            if (total < 32)
                return fail("bad packet block");
            const uint32_t iface = r.u32(body);
            const uint32_t caplen = r.u32(body + 12);
            if (iface >= interfaces.size() || caplen > end - (body + 20))
                return fail("bad packet block");
            const Interface &itf = interfaces[iface];
            Packet pk;
            const uint64_t ts = uint64_t(r.u32(body + 4)) << 32 | r.u32(body + 8);
            pk.usec = itf.unitsPerSecond == 1000000 ? ts : ts * 1000000 / itf.unitsPerSecond;
            pk.interfaceName = itf.name;
            pk.data.assign(r.p + body + 20, r.p + body + 20 + caplen);
            out->push_back(std::move(pk));
            opts = body + 20 + ((caplen + 3) & ~size_t(3));
        }
        // Options: code, length, value padded to 4 bytes.
        while (opts + 4 <= end) {
            const uint16_t code = r.u16(opts), len = r.u16(opts + 2);
            if (code == kOptEnd || opts + 4 + len > end)
                break;
            const unsigned char *v = r.p + opts + 4;
            if (type == kInterfaceDescription && code == kIfName) {
                interfaces.back().name.assign(reinterpret_cast<const char *>(v), len);
            } else if (type == kInterfaceDescription && code == kIfTsresol && len >= 1 && !(v[0] & 0x80) &&
                       v[0] <= 9) {
                uint64_t u = 1;
                for (int i = 0; i < v[0]; ++i)
                    u *= 10;
                interfaces.back().unitsPerSecond = u;
            } else if (type == kEnhancedPacket && code == kEpbFlags && len == 4) {
                out->back().dir = static_cast<Direction>(r.u32(opts + 4) & 3);
            } else if (type == kEnhancedPacket && code == kOptComment) {
                const std::string text(reinterpret_cast<const char *>(v), len);
                if (text.compare(0, sizeof kConnectionComment - 1, kConnectionComment) == 0)
                    out->back().connection = unsigned(std::strtoul(text.c_str() + sizeof kConnectionComment - 1,
                                                                   nullptr, 10));
            }
            opts += 4 + ((len + 3u) & ~3u);
        }
        at += total;
    }
    return true;
}

} // namespace pcapng

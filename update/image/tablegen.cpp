// axr574-tablegen IN.hex OUT.cpp
//
// Turns an Intel HEX firmware image into the erase and program packet tables
// that the updater carries (update/packets.h). Runs at build time, so every
// check that protects the unit happens here, before anything is shipped: an
// image that would touch the bootloader, leave a write unit half-written or
// produce a packet the bootloader cannot take is refused, and no table file
// is left behind.

#include "link/frame.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kFirst = 0x0800; // below: the bootloader
constexpr std::uint32_t kEnd = 0x8000;   // first address past the program memory
constexpr std::uint32_t kRow = 64;       // erased at once
constexpr std::uint32_t kUnit = 16;      // written at once
constexpr std::size_t kMinDigits = 12;
constexpr std::size_t kMaxDigits = 56; // the bootloader's receive buffer holds 28 bytes

struct Refusal
{
    std::size_t line; // 0 when no single line is to blame
    std::string what;
};

std::string hexAddress(std::uint32_t address)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(address));
    return text;
}

// The program memory as the image fills it, with the line that gave each
// byte so that refusals can point at it.
struct Image
{
    std::array<std::uint8_t, kEnd> value {};
    std::array<std::size_t, kEnd> line {}; // 0: not given
    bool any = false;
};

class Reader
{
public:
    explicit Reader(Image &image)
        : m_image(image)
    { }

    // Reads one line; throws Refusal on the first fault.
    void read(const std::string &rawLine, std::size_t lineNo)
    {
        std::string text = rawLine;
        while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
            text.pop_back();
        if (text.empty())
            return;
        if (m_sawEof)
            throw Refusal {lineNo, "record after the end-of-file record"};
        if (text[0] != ':')
            throw Refusal {lineNo, "record does not start with ':'"};

        // The address is named in every complaint that can name it, so read
        // it before judging the rest of the record.
        std::optional<std::uint16_t> offset;
        if (text.size() >= 7) {
            int v = 0;
            bool ok = true;
            for (std::size_t i = 3; i < 7 && ok; ++i) {
                const int d = frame::hexDigit(text[i]);
                ok = d >= 0;
                v = v << 4 | d;
            }
            if (ok)
                offset = static_cast<std::uint16_t>(v);
        }
        const std::string where = offset ? " at " + hexAddress(recordBase() + *offset) : "";
        if (offset) {
            m_lastAddress = recordBase() + *offset;
            m_sawRecord = true;
        }

        for (std::size_t i = 1; i < text.size(); ++i) {
            if (frame::hexDigit(text[i]) < 0)
                throw Refusal {lineNo,
                    "record" + where + ": '" + std::string(1, text[i]) + "' in column " + std::to_string(i + 1)
                        + " is not a hex digit"};
        }
        if ((text.size() - 1) % 2 != 0)
            throw Refusal {lineNo, "record" + where + ": odd number of hex digits"};
        const frame::Bytes bytes = frame::fromHex(std::string_view(text).substr(1));
        if (bytes.size() < 5)
            throw Refusal {lineNo, "record" + where + ": too short"};
        const std::size_t length = bytes[0];
        if (bytes.size() != length + 5)
            throw Refusal {lineNo,
                "record" + where + ": length field says " + std::to_string(length) + " data bytes, record holds "
                    + std::to_string(bytes.size() - 5)};
        unsigned sum = 0;
        for (std::uint8_t b : bytes)
            sum += b;
        if ((sum & 0xFF) != 0) {
            const unsigned expected = (bytes.back() - sum) & 0xFF;
            char detail[64];
            std::snprintf(detail, sizeof detail, ": bad record checksum 0x%02X, expected 0x%02X",
                static_cast<unsigned>(bytes.back()), expected);
            throw Refusal {lineNo, "record" + where + detail};
        }

        const std::uint8_t type = bytes[3];
        const std::uint8_t *data = bytes.data() + 4;
        switch (type) {
        case 0x00: store(*offset, data, length, lineNo); break;
        case 0x01:
            if (length != 0)
                throw Refusal {lineNo, "end-of-file record" + where + " carries data"};
            m_sawEof = true;
            break;
        case 0x02:
            if (length != 2)
                throw Refusal {lineNo, "extended segment address record" + where + " must carry 2 bytes"};
            m_segment = static_cast<std::uint32_t>(data[0] << 8 | data[1]) << 4;
            m_linear = 0;
            break;
        case 0x04:
            if (length != 2)
                throw Refusal {lineNo, "extended linear address record" + where + " must carry 2 bytes"};
            m_linear = static_cast<std::uint32_t>(data[0] << 8 | data[1]) << 16;
            m_segment = 0;
            break;
        case 0x03:
        case 0x05:
            // A start address means nothing to a bootloader that is told where to write.
            if (length != 4)
                throw Refusal {lineNo, "start address record" + where + " must carry 4 bytes"};
            break;
        default: throw Refusal {lineNo, "record" + where + " has unknown type " + std::to_string(type)};
        }
    }

    bool sawEof() const { return m_sawEof; }
    bool sawRecord() const { return m_sawRecord; }
    std::uint32_t lastAddress() const { return m_lastAddress; }

private:
    std::uint32_t recordBase() const { return m_linear + m_segment; }

    void store(std::uint16_t offset, const std::uint8_t *data, std::size_t length, std::size_t lineNo)
    {
        for (std::size_t i = 0; i < length; ++i) {
            // Offsets wrap within their 64 KiB segment, as the format defines.
            const std::uint32_t address = recordBase() + static_cast<std::uint16_t>(offset + i);
            if (address < kFirst || address >= kEnd)
                throw Refusal {lineNo,
                    "byte at " + hexAddress(address) + " lies outside " + hexAddress(kFirst) + ".."
                        + hexAddress(kEnd - 1)
                        + " (bootloader region; writing there would leave the unit unable to start)"};
            if (m_image.line[address] != 0 && m_image.value[address] != data[i])
                throw Refusal {lineNo,
                    "byte at " + hexAddress(address) + " given again with a different value (first on line "
                        + std::to_string(m_image.line[address]) + ")"};
            if (m_image.line[address] == 0) {
                m_image.value[address] = data[i];
                m_image.line[address] = lineNo;
            }
            m_image.any = true;
        }
    }

    Image &m_image;
    std::uint32_t m_linear = 0;
    std::uint32_t m_segment = 0;
    bool m_sawEof = false;
    bool m_sawRecord = false;
    std::uint32_t m_lastAddress = 0;
};

// Composes one packet text and proves it against the frame rules before it
// can reach a table.
std::string packetText(const frame::Bytes &body, std::uint32_t address, std::size_t lineNo)
{
    const std::string text = frame::toHex(frame::compose(body));
    if (text.size() < kMinDigits || text.size() > kMaxDigits)
        throw Refusal {lineNo,
            "packet for " + hexAddress(address) + " would be " + std::to_string(text.size()) + " hex digits, outside "
                + std::to_string(kMinDigits) + ".." + std::to_string(kMaxDigits) + " (too many bytes need escaping)"};
    const std::optional<frame::Bytes> back = frame::check(frame::fromHex(text));
    if (!back || back->size() != body.size() + 1 || !std::equal(body.begin(), body.end(), back->begin()))
        throw Refusal {lineNo, "packet for " + hexAddress(address) + " does not read back as composed"};
    return text;
}

// Command, count and the three address bytes, least significant first.
frame::Bytes header(std::uint8_t command, std::uint8_t count, std::uint32_t address)
{
    return {command, count, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
        static_cast<std::uint8_t>(address >> 16)};
}

struct Tables
{
    std::vector<std::pair<std::uint32_t, std::string>> erase;
    std::vector<std::pair<std::uint32_t, std::string>> program;
};

Tables makeTables(const Image &image)
{
    Tables tables;
    for (std::uint32_t row = kFirst; row < kEnd; row += kRow) {
        tables.erase.emplace_back(row, packetText(header(0x03, 0x01, row), row, 0));
    }
    for (std::uint32_t unit = kFirst; unit < kEnd; unit += kUnit) {
        std::size_t filled = 0;
        std::size_t firstLine = 0;
        for (std::uint32_t a = unit; a < unit + kUnit; ++a) {
            if (image.line[a] != 0) {
                ++filled;
                if (firstLine == 0 || image.line[a] < firstLine)
                    firstLine = image.line[a];
            }
        }
        if (filled == 0)
            continue;
        // A unit is always written whole; the missing bytes would be sent as
        // whatever the table happened to hold.
        if (filled != kUnit)
            throw Refusal {firstLine,
                "16-byte unit at " + hexAddress(unit) + " is only partly filled (" + std::to_string(filled)
                    + " of 16 bytes)"};
        frame::Bytes body = header(0x02, 0x02, unit); // two blocks of 8 bytes
        for (std::uint32_t a = unit; a < unit + kUnit; ++a)
            body.push_back(image.value[a]);
        tables.program.emplace_back(unit, packetText(body, unit, firstLine));
    }
    return tables;
}

std::string baseName(const std::string &path)
{
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void writeTable(std::ostream &out, const char *name, const char *countName,
    const std::vector<std::pair<std::uint32_t, std::string>> &entries)
{
    out << "const char *const " << name << "[] = {\n";
    for (const auto &[address, text] : entries) {
        char comment[16];
        std::snprintf(comment, sizeof comment, "0x%06X", static_cast<unsigned>(address));
        out << "    \"" << text << "\", // " << comment << "\n";
    }
    out << "};\n";
    out << "const std::size_t " << countName << " = " << entries.size() << ";\n\n";
}

std::string render(const Tables &tables, const std::string &inPath)
{
    std::ostringstream out;
    out << "// Generated by axr574-tablegen from " << baseName(inPath) << ". Do not edit.\n"
        << "#include \"update/packets.h\"\n\n"
        << "namespace firmware {\n\n";
    writeTable(out, "ErasePackets", "ErasePacketCount", tables.erase);
    writeTable(out, "ProgramPackets", "ProgramPacketCount", tables.program);
    out << "} // namespace firmware\n";
    return out.str();
}

int refuse(const std::string &inPath, const std::string &outPath, const Refusal &r)
{
    // A table from an earlier run must not outlive the image that replaced it.
    std::remove(outPath.c_str());
    std::cerr << "axr574-tablegen: " << inPath;
    if (r.line != 0)
        std::cerr << ", line " << r.line;
    std::cerr << ": " << r.what << "\n";
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::cerr << "usage: axr574-tablegen IN.hex OUT.cpp\n";
        return 2;
    }
    const std::string inPath = argv[1];
    const std::string outPath = argv[2];

    try {
        std::ifstream in(inPath, std::ios::binary);
        if (!in)
            throw Refusal {0, "cannot open"};
        auto image = std::make_unique<Image>();
        Reader reader(*image);
        std::string line;
        std::size_t lineNo = 0;
        while (std::getline(in, line))
            reader.read(line, ++lineNo);
        if (!reader.sawEof() && !reader.sawRecord())
            throw Refusal {0, "no records at all"};
        if (!reader.sawEof())
            throw Refusal {lineNo,
                "no end-of-file record after the record at " + hexAddress(reader.lastAddress())
                    + "; the image may be cut short"};
        if (!image->any)
            throw Refusal {0, "no data in the image"};

        const Tables tables = makeTables(*image);
        const std::string text = render(tables, inPath);

        std::ofstream out(outPath, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out)
            throw Refusal {0, "cannot write " + outPath};

        std::cout << tables.erase.size() << " erase packets, " << tables.program.size() << " program packets\n";
        return 0;
    } catch (const Refusal &r) {
        return refuse(inPath, outPath, r);
    }
}

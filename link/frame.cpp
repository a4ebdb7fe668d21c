#include "frame.h"

namespace frame {

std::uint8_t checksum(const Bytes &body)
{
    unsigned sum = 0;
    for (std::uint8_t b : body)
        sum += b;
    return static_cast<std::uint8_t>((256 - (sum & 0xFF)) & 0xFF);
}

bool needsEscape(std::uint8_t b)
{
    return b == kEnd || b == kEscape || b == kStart;
}

Bytes compose(const Bytes &body)
{
    Bytes wire {kStart, kStart};
    auto put = [&wire](std::uint8_t b) {
        if (needsEscape(b))
            wire.push_back(kEscape);
        wire.push_back(b);
    };
    for (std::uint8_t b : body)
        put(b);
    put(checksum(body));
    wire.push_back(kEnd);
    return wire;
}

std::string toHex(const Bytes &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0x0F]);
    }
    return text;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

Bytes fromHex(std::string_view text)
{
    Bytes bytes(text.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int hi = hexDigit(text[2 * i]);
        const int lo = hexDigit(text[2 * i + 1]);
        if (hi < 0)
            bytes[i] = 0;
        else if (lo < 0)
            bytes[i] = static_cast<std::uint8_t>(hi);
        else
            bytes[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return bytes;
}

std::optional<Bytes> check(const Bytes &wire)
{
    if (wire.size() < 5 || wire[0] != kStart || wire[1] != kStart || wire.back() != kEnd)
        return std::nullopt;
    Bytes body;
    for (std::size_t i = 2; i + 1 < wire.size(); ++i) {
        std::uint8_t b = wire[i];
        if (b == kEscape) {
            if (i + 2 >= wire.size())
                return std::nullopt; // escape with nothing left to escape
            b = wire[++i];
            if (!needsEscape(b))
                return std::nullopt;
        } else if (needsEscape(b)) {
            return std::nullopt; // a bare special byte inside the frame
        }
        body.push_back(b);
    }
    if (body.size() < 2)
        return std::nullopt;
    unsigned sum = 0;
    for (std::uint8_t b : body)
        sum += b;
    if ((sum & 0xFF) != 0)
        return std::nullopt;
    return body;
}

std::size_t findFrame(const Bytes &stream, Bytes &wire)
{
    std::size_t start = 0;
    while (start + 1 < stream.size() && !(stream[start] == kStart && stream[start + 1] == kStart))
        ++start;
    if (start + 1 >= stream.size())
        return 0;
    for (std::size_t i = start + 2; i < stream.size(); ++i) {
        if (stream[i] == kEscape) {
            ++i; // the next byte is data whatever it is
            continue;
        }
        if (stream[i] == kEnd) {
            wire.assign(stream.begin() + static_cast<std::ptrdiff_t>(start),
                stream.begin() + static_cast<std::ptrdiff_t>(i + 1));
            return i + 1;
        }
    }
    return 0;
}

} // namespace frame

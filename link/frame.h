// Bootloader frame: composing and checking, free of Qt so that the build-time
// table generator and the simulated unit share it with the updater.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace frame {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kStart = 0x0F;
inline constexpr std::uint8_t kEnd = 0x04;
inline constexpr std::uint8_t kEscape = 0x05;

// Two's complement of the 8-bit sum, so that bytes + checksum == 0 (mod 256).
std::uint8_t checksum(const Bytes &body);

bool needsEscape(std::uint8_t b);

// Command byte and fields in, wire bytes out: checksum appended, 0x04/0x05/0x0F
// escaped, start and end bytes added.
Bytes compose(const Bytes &body);

// Upper-case hex digit pairs, no separators.
std::string toHex(const Bytes &bytes);

// Value of one hex digit (either case), or -1.
int hexDigit(char c);

// Digit pairs to bytes. An odd trailing digit is ignored; within a pair,
// digits are read up to the first character that is not a hex digit, so
// "G1" gives 0x00 and "1G" gives 0x01. Never reads past the text.
Bytes fromHex(std::string_view text);

// The unescaped command byte, fields and checksum of a well-formed frame, or
// nothing when the frame breaks a rule (start, end, escaping, checksum).
std::optional<Bytes> check(const Bytes &wire);

// Finds the first complete frame in a byte stream: skips anything before
// 0x0F 0x0F and stops at the first unescaped 0x04. Returns the number of
// bytes consumed including that frame, or 0 when no complete frame is there yet.
std::size_t findFrame(const Bytes &stream, Bytes &wire);

} // namespace frame

// The simulated unit's bootloader: program memory and what each command does
// to it. No I/O here, so that the timing and fault machinery stays separate.
#pragma once

#include "link/frame.h"

#include <array>
#include <cstdint>
#include <string>

namespace sim {

inline constexpr std::uint32_t kMemorySize = 0x8000;
inline constexpr std::uint32_t kAppStart = 0x0800;
inline constexpr std::uint32_t kRowSize = 64;
inline constexpr std::uint32_t kWriteSize = 16;

struct UnitIdentity
{
    std::string model = "0574";
    std::string version = "1123";
    std::string versionMinor = "00";
    bool hasFirmware = true;
};

// What one bootloader frame did: either a reply (possibly none, for finish)
// or a violation, in which case nothing was executed.
struct Outcome
{
    frame::Bytes reply;
    std::string violation;
    bool finished = false;
};

class UnitModel
{
public:
    UnitModel(const UnitIdentity &identity, bool blank);

    // body: command byte, fields and checksum as frame::check gives them.
    Outcome execute(const frame::Bytes &body);

    // Faults that make the next blank check or verify fail, once.
    void failNextBlankCheck() { m_blankFailPending = true; }
    void failNextVerify() { m_verifyFailPending = true; }
    // The next version reply names this model instead of the unit's own, once.
    void misreportNextModel(const std::string &model) { m_misreportedModel = model; }
    // Once the host has broken the protocol the image cannot be trusted.
    void noteViolation() { m_violated = true; }

    const std::array<std::uint8_t, kMemorySize> &memory() const { return m_memory; }

    // 32-bit sum of the little-endian 16-bit words of the application region.
    std::uint32_t applicationSum() const;

private:
    Outcome versionReply();
    Outcome erase(std::uint32_t address);
    Outcome program(std::uint32_t address, const std::uint8_t *data);
    Outcome resultReply(std::uint8_t sub, std::uint32_t result) const;

    UnitIdentity m_identity;
    std::array<std::uint8_t, kMemorySize> m_memory {};
    bool m_blankFailPending = false;
    bool m_verifyFailPending = false;
    std::string m_misreportedModel;
    bool m_violated = false;
};

// Wire bytes of a reply: start bytes, body, checksum, end byte, never escaped
// (the host reads fixed positions and does not unescape replies).
frame::Bytes plainReply(const frame::Bytes &body);

} // namespace sim

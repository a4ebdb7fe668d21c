// The packets of an update: the fixed ones the sequence sends itself, and the
// firmware image as the two tables generated from it at build time.
#pragma once

#include <cstddef>

namespace firmware {

inline constexpr const char *kVersionRead = "0F0F0001FF04";
inline constexpr const char *kBlankCheck = "0F0F0A02000800EC04";
inline constexpr const char *kVerify = "0F0F0A01000800ED04";
inline constexpr const char *kResetDefaults = "0F0F0B01160800D604";
inline constexpr const char *kFinish = "0F0F080100000014E304";
// Not a bootloader frame: what wakes a unit running its firmware.
inline constexpr const char *kWakeFrame = "000000000000000000000000000000000000FEFE3300424C3FFD";

extern const char *const ErasePackets[];
extern const std::size_t ErasePacketCount;

extern const char *const ProgramPackets[];
extern const std::size_t ProgramPacketCount;

} // namespace firmware

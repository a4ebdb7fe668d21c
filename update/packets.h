// The firmware image as the two packet tables generated from it at build time.
#pragma once

#include <cstddef>

namespace firmware {

extern const char *const ErasePackets[];
extern const std::size_t ErasePacketCount;

extern const char *const ProgramPackets[];
extern const std::size_t ProgramPacketCount;

} // namespace firmware

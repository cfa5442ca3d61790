// The constants of a data packet's byte layout (data_packet.h describes it),
// shared by its encoder and its reader.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tillbase::packet_format {

inline constexpr uint8_t kMagic[] = {'T', 'B', 'P', 'K', 0x1A};
inline constexpr uint8_t kVersion = 1;
inline constexpr size_t kHeaderSize = sizeof kMagic + 2;

inline constexpr uint8_t kFlagRequired = 1;
inline constexpr uint8_t kFlagReadOnly = 2;
inline constexpr uint8_t kFlagKey = 4;
inline constexpr uint8_t kFlagAutoInc = 8;
inline constexpr uint8_t kKnownFieldFlags = 15;
inline constexpr uint8_t kRowHasError = 1;

// Variant arrays nest; a bound on the depth keeps hostile bytes from
// exhausting the stack.
inline constexpr int kMaxNesting = 64;

}  // namespace tillbase::packet_format

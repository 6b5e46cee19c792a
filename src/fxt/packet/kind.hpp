// What a packet's payload holds (the codes live with the protocol's other
// numbers in common/wire.hpp): which codes a received head may carry, and
// their names.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/wire.hpp"

namespace mok::fxt {

using wire::Kind;

// Bit c set for every code c that is valid in a received head.
inline constexpr uint64_t kValidKindCodes = 0x3C7F003FFull;

// The member for a code valid on receipt; nullopt for undefined codes and 255.
constexpr std::optional<Kind> kind_from_code(uint8_t code) noexcept {
  if (code > 33 || ((kValidKindCodes >> code) & 1u) == 0) return std::nullopt;
  return static_cast<Kind>(code);
}

constexpr uint8_t to_code(Kind kind) noexcept { return static_cast<uint8_t>(kind); }

// The member's name; "Unknown" for 255 and for undefined codes.
std::string_view to_string(Kind kind) noexcept;

}  // namespace mok::fxt

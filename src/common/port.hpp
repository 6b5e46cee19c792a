// The port grammar of every address text the library takes: decimal digits,
// optionally after one '+', value 0 to 65535. Shared by the device client's
// address normalization and the transport's resolver, so whatever the one
// accepts the other connects to.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace mok {

// The port, or nothing for an empty text, a sign alone, any other character
// or a value above 65535.
std::optional<std::uint16_t> parse_port(std::string_view text) noexcept;

}  // namespace mok

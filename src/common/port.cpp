// Port number parsing shared by both address parsers.
#include "common/port.hpp"

namespace mok {

std::optional<std::uint16_t> parse_port(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65535) {
      return std::nullopt;
    }
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace mok

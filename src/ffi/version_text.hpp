// A C family's version written once, as its "major.minor.patch" text; the
// packed code some families also report is computed from that text at
// compile time, so the two can never disagree.
#pragma once

#include <cstdint>
#include <string_view>

namespace mok {

// major << major_shift | minor << minor_shift | patch, from "major.minor.patch".
constexpr uint32_t pack_version(std::string_view text, unsigned major_shift, unsigned minor_shift) {
  uint32_t parts[3] = {0, 0, 0};
  std::size_t at = 0;
  for (char ch : text) {
    if (ch == '.') {
      ++at;
    } else {
      parts[at] = parts[at] * 10 + static_cast<uint32_t>(ch - '0');
    }
  }
  return (parts[0] << major_shift) | (parts[1] << minor_shift) | parts[2];
}

}  // namespace mok

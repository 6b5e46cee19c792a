// Copying a record into a host's versioned struct: the host passes the size
// it knows, gets that prefix (never more than the library has), and finds in
// the first field how many bytes were filled. Hosts built against an older,
// shorter struct keep working as the struct grows at its end.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace mok {

// `full.size` must be the struct's first field, a uint32_t followed only by
// 4- and 8-byte fields laid out in 8-byte steps after the first 8 bytes, so a
// filled size rounded down to a multiple of 8 never splits a field. False
// when `size` cannot even hold the size field.
template <class T>
bool copy_versioned(T full, void* out, std::uint32_t size) noexcept {
  static_assert(sizeof(T) % 8 == 0);
  if (out == nullptr || size < sizeof(std::uint32_t)) return false;
  auto n = static_cast<std::uint32_t>(std::min<std::size_t>(size, sizeof(T)));
  n = n >= 8 ? n - n % 8 : static_cast<std::uint32_t>(sizeof(std::uint32_t));
  full.size = n;
  std::memcpy(out, &full, n);
  return true;
}

}  // namespace mok

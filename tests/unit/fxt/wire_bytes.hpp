// Builders of raw wire bytes for the transport tests, written out by hand so
// the tests do not rely on the encoder they check.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace mok::fxt::testing {

inline std::array<uint8_t, 24> raw_head(uint32_t length, uint8_t flags, uint8_t kind, uint16_t stream_id,
                                        uint64_t seq = 0, uint64_t ts = 0) {
  std::array<uint8_t, 24> b{};
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(length >> (24 - 8 * i));
  b[4] = flags;
  b[5] = kind;
  b[6] = static_cast<uint8_t>(stream_id >> 8);
  b[7] = static_cast<uint8_t>(stream_id);
  for (int i = 0; i < 8; ++i) {
    b[8 + i] = static_cast<uint8_t>(seq >> (56 - 8 * i));
    b[16 + i] = static_cast<uint8_t>(ts >> (56 - 8 * i));
  }
  return b;
}

// A whole packet: head plus `length` payload bytes counting up from `first`.
inline std::vector<uint8_t> raw_packet(uint32_t length, uint8_t kind, uint16_t stream_id, uint8_t first = 0,
                                       uint64_t seq = 0) {
  auto h = raw_head(length, 0, kind, stream_id, seq, 0);
  std::vector<uint8_t> out(h.begin(), h.end());
  for (uint32_t i = 0; i < length; ++i) out.push_back(static_cast<uint8_t>(first + i));
  return out;
}

}  // namespace mok::fxt::testing

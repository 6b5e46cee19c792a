// Head codec. The check order of parse() is observable (a head can break more
// than one rule) and hosts see which error wins, so it must not change.
#include "fxt/packet/head.hpp"

#include <bit>
#include <cstring>

#include <fmt/format.h>

namespace mok::fxt {

namespace {
// One load and a byte swap per field instead of a loop over its bytes: every
// packet's head goes through here.
template <class T>
T load_be(const uint8_t* p) noexcept {
  static_assert(std::endian::native == std::endian::little);
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (sizeof(T) == 2) return __builtin_bswap16(v);
  if constexpr (sizeof(T) == 4) return __builtin_bswap32(v);
  if constexpr (sizeof(T) == 8) return __builtin_bswap64(v);
}
void store_be(uint8_t* p, uint64_t v, size_t n) noexcept {
  for (size_t i = n; i-- > 0;) {
    p[i] = static_cast<uint8_t>(v);
    v >>= 8;
  }
}
}  // namespace

Head Head::make(uint32_t length, Flags flags, Kind kind, uint16_t stream_id) noexcept {
  return Head{length, flags, kind, stream_id, 0, monotonic_us()};
}

Result<Head, Error> Head::parse(std::span<const uint8_t> bytes) noexcept {
  if (bytes.size() < kHeadLen) {
    return err(Error::not_enough_data(static_cast<uint32_t>(bytes.size()), kHeadLen));
  }
  const uint8_t* p = bytes.data();
  const auto length = load_be<uint32_t>(p);
  if (length < kMinLength) return err(Error::length_too_small(length, kMinLength));
  if (length > kMaxLength) return err(Error::length_too_large(length, kMaxLength));
  const auto kind = kind_from_code(p[5]);
  if (!kind) return err(Error::unknown_kind(p[5]));
  const auto stream_id = load_be<uint16_t>(p + 6);
  if (stream_id >= kStreamIdLimit) return err(Error::invalid_stream_id(stream_id));
  return Head{length,    Flags::from_received(p[4]), *kind,
              stream_id, load_be<uint64_t>(p + 8),   load_be<uint64_t>(p + 16)};
}

void Head::write_to(uint8_t* out) const noexcept {
  store_be(out, length, 4);
  out[4] = flags.bits;
  out[5] = to_code(kind);
  store_be(out + 6, stream_id, 2);
  store_be(out + 8, seq, 8);
  store_be(out + 16, ts, 8);
}

std::array<uint8_t, kHeadLen> Head::to_bytes() const noexcept {
  std::array<uint8_t, kHeadLen> out{};
  write_to(out.data());
  return out;
}

std::string debug_string(const Head& head) {
  return fmt::format("Head {{ length: {}, flags: {}, kind: {}, stream_id: {}, seq: {}, ts: {} }}", head.length,
                     debug_string(head.flags), to_string(head.kind), head.stream_id, head.seq, head.ts);
}

}  // namespace mok::fxt

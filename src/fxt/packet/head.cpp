// Head codec. The check order of parse() is observable (a head can break more
// than one rule) and hosts see which error wins, so it must not change.
#include "fxt/packet/head.hpp"

#include <fmt/format.h>

namespace mok::fxt {

namespace {
uint64_t load_be(const uint8_t* p, size_t n) noexcept {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
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
  const auto length = static_cast<uint32_t>(load_be(p, 4));
  if (length < kMinLength) return err(Error::length_too_small(length, kMinLength));
  if (length > kMaxLength) return err(Error::length_too_large(length, kMaxLength));
  const auto kind = kind_from_code(p[5]);
  if (!kind) return err(Error::unknown_kind(p[5]));
  const auto stream_id = static_cast<uint16_t>(load_be(p + 6, 2));
  if (stream_id >= kStreamIdLimit) return err(Error::invalid_stream_id(stream_id));
  return Head{length, Flags::from_received(p[4]), *kind, stream_id, load_be(p + 8, 8), load_be(p + 16, 8)};
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

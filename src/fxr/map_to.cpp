// Bodies of the MapTo conversions and the little-endian store used by Builder.
#include "fxr/map_to.hpp"

#include <bit>
#include <cstring>

namespace mok::fxr {
namespace {

template <std::size_t N>
struct UnsignedOf;
template <>
struct UnsignedOf<1> {
  using type = std::uint8_t;
};
template <>
struct UnsignedOf<2> {
  using type = std::uint16_t;
};
template <>
struct UnsignedOf<4> {
  using type = std::uint32_t;
};
template <>
struct UnsignedOf<8> {
  using type = std::uint64_t;
};

// Assembles the value byte by byte so the result does not depend on the
// host's byte order. `p` must hold sizeof(T) bytes.
template <Scalar T>
T load_le(const std::uint8_t* p) noexcept {
  using U = typename UnsignedOf<sizeof(T)>::type;
  U u = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    u = static_cast<U>(u | static_cast<U>(static_cast<U>(p[i]) << (8 * i)));
  }
  return std::bit_cast<T>(u);
}

// Length of the maximal valid prefix of a UTF-8 sequence starting at s[0],
// and whether that prefix is a complete character. Bounds follow the
// well-formed byte sequences table of Unicode (no overlongs, no surrogates,
// nothing above U+10FFFF).
struct Utf8Step {
  std::size_t len;
  bool complete;
};

Utf8Step utf8_step(std::span<const std::uint8_t> s) noexcept {
  const std::uint8_t b0 = s[0];
  if (b0 < 0x80) return {1, true};
  std::size_t need = 0;
  std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {1, false};
  }
  std::size_t i = 1;
  for (; i < need && i < s.size(); ++i) {
    const std::uint8_t b = s[i];
    const std::uint8_t l = i == 1 ? lo : 0x80;
    const std::uint8_t h = i == 1 ? hi : 0xBF;
    if (b < l || b > h) break;
  }
  return {i, i == need};
}

}  // namespace

template <Scalar T>
T read_le(std::span<const std::uint8_t> bytes) noexcept {
  if (bytes.size() < sizeof(T)) return T{};
  return load_le<T>(bytes.data());
}

template <Scalar T>
std::vector<T> read_le_array(std::span<const std::uint8_t> bytes) {
  std::vector<T> out(bytes.size() / sizeof(T));
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = load_le<T>(bytes.data() + i * sizeof(T));
  return out;
}

std::string decode_text(std::span<const std::uint8_t> bytes) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const Utf8Step step = utf8_step(bytes.subspan(i));
    if (step.complete) {
      out.append(reinterpret_cast<const char*>(bytes.data() + i), step.len);
    } else {
      out.append(kReplacement, 3);
    }
    i += step.len;
  }
  return out;
}

template <Scalar T>
void store_le(T value, std::uint8_t* out) noexcept {
  using U = typename UnsignedOf<sizeof(T)>::type;
  const U u = std::bit_cast<U>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<std::uint8_t>(u >> (8 * i));
}

#define MOK_FXR_INSTANTIATE_SCALAR(T)                                      \
  template T read_le<T>(std::span<const std::uint8_t>) noexcept;           \
  template std::vector<T> read_le_array<T>(std::span<const std::uint8_t>); \
  template void store_le<T>(T, std::uint8_t*) noexcept;
MOK_FXR_INSTANTIATE_SCALAR(std::int8_t)
MOK_FXR_INSTANTIATE_SCALAR(std::uint8_t)
MOK_FXR_INSTANTIATE_SCALAR(std::int16_t)
MOK_FXR_INSTANTIATE_SCALAR(std::uint16_t)
MOK_FXR_INSTANTIATE_SCALAR(std::int32_t)
MOK_FXR_INSTANTIATE_SCALAR(std::uint32_t)
MOK_FXR_INSTANTIATE_SCALAR(std::int64_t)
MOK_FXR_INSTANTIATE_SCALAR(std::uint64_t)
MOK_FXR_INSTANTIATE_SCALAR(float)
MOK_FXR_INSTANTIATE_SCALAR(double)
#undef MOK_FXR_INSTANTIATE_SCALAR

}  // namespace mok::fxr

// MapTo: turns the value bytes of a register entry into a typed value.
// Records carry no type information, so the reader names the type it expects
// and short or odd-sized values are resolved here, in one place.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace mok::fxr {

// The value types a register can hold: fixed-width integers and IEEE floats.
template <class T>
concept Scalar = std::same_as<T, std::int8_t> || std::same_as<T, std::uint8_t> || std::same_as<T, std::int16_t> ||
    std::same_as<T, std::uint16_t> || std::same_as<T, std::int32_t> || std::same_as<T, std::uint32_t> ||
    std::same_as<T, std::int64_t> || std::same_as<T, std::uint64_t> || std::same_as<T, float> ||
    std::same_as<T, double>;

// Element types of array values written with `encode_with` (8-bit arrays are
// plain byte arrays and go through `Builder::push`).
template <class T>
concept ArrayElement = Scalar<T> &&(sizeof(T) >= 2);

// Primary template; specialised for scalars, arrays of scalars and text.
template <class T>
struct MapTo;

// The conversions proper; the MapTo specialisations below forward to them.
// Scalar: the first sizeof(T) bytes, little-endian; 0 when fewer are present
// (a short value still counts as found, it just reads as zero).
template <Scalar T>
T read_le(std::span<const std::uint8_t> bytes) noexcept;
// Array: floor(size / sizeof(T)) elements, little-endian; leftover bytes are
// ignored.
template <Scalar T>
std::vector<T> read_le_array(std::span<const std::uint8_t> bytes);
// Text: UTF-8 with each invalid sequence replaced by U+FFFD. Every byte is
// kept, so a pad byte comes back as a NUL character inside the string.
std::string decode_text(std::span<const std::uint8_t> bytes);

template <Scalar T>
struct MapTo<T> {
  static T map_to(std::span<const std::uint8_t> bytes) noexcept { return read_le<T>(bytes); }
};

template <Scalar T>
struct MapTo<std::vector<T>> {
  static std::vector<T> map_to(std::span<const std::uint8_t> bytes) { return read_le_array<T>(bytes); }
};

template <>
struct MapTo<std::string> {
  static std::string map_to(std::span<const std::uint8_t> bytes) { return decode_text(bytes); }
};

template <class T>
T map_to(std::span<const std::uint8_t> bytes) {
  return MapTo<T>::map_to(bytes);
}

// Writes `value` little-endian into out[0 .. sizeof(T)); out must hold that many.
template <Scalar T>
void store_le(T value, std::uint8_t* out) noexcept;

// The bodies live in map_to.cpp, instantiated for every Scalar type.
#define MOK_FXR_EXTERN_SCALAR(T)                                                  \
  extern template T read_le<T>(std::span<const std::uint8_t>) noexcept;           \
  extern template std::vector<T> read_le_array<T>(std::span<const std::uint8_t>); \
  extern template void store_le<T>(T, std::uint8_t*) noexcept;
MOK_FXR_EXTERN_SCALAR(std::int8_t)
MOK_FXR_EXTERN_SCALAR(std::uint8_t)
MOK_FXR_EXTERN_SCALAR(std::int16_t)
MOK_FXR_EXTERN_SCALAR(std::uint16_t)
MOK_FXR_EXTERN_SCALAR(std::int32_t)
MOK_FXR_EXTERN_SCALAR(std::uint32_t)
MOK_FXR_EXTERN_SCALAR(std::int64_t)
MOK_FXR_EXTERN_SCALAR(std::uint64_t)
MOK_FXR_EXTERN_SCALAR(float)
MOK_FXR_EXTERN_SCALAR(double)
#undef MOK_FXR_EXTERN_SCALAR

}  // namespace mok::fxr

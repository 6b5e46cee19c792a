// Builder: composes a register record, the payload of a FlexRegs packet, one
// (register id, value) entry at a time. Entry layout: reserved byte 0, word
// count w, id as u16 little-endian, then 2 * w value bytes (odd values padded).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "fxr/map_to.hpp"

namespace mok::fxr {

// Size of an entry header (reserved byte, word count, id).
inline constexpr std::size_t kEntryHeaderBytes = 4;
// The word count is one byte: a value holds at most 255 words.
inline constexpr std::size_t kMaxValueBytes = 510;

enum class PushError {
  // The value needs more than kMaxValueBytes bytes. Cutting the word count to
  // 8 bits would hand readers a corrupt walk, so the entry is not written and
  // the record is left exactly as it was.
  ValueTooLong = 1,
  // encode_with was given a byte length other than elements * element size.
  LengthMismatch = 2,
};

using PushResult = Result<void, PushError>;

class Builder {
 public:
  // An empty record. `new_()` is the same, for callers that prefer the factory.
  Builder() = default;
  static Builder new_() { return Builder{}; }

  // Scalar entry: w = 1 for 8- and 16-bit values (8-bit ones get a zero pad
  // byte), 2 for 32-bit integers and f32, 4 for 64-bit integers and f64.
  // Scalars always fit, so these cannot fail.
  template <Scalar T>
  void push(std::uint16_t id, T value);

  // Byte-array entry: the bytes, plus a zero pad byte when their number is odd;
  // an empty array is written as two zero bytes (w = 1).
  // Refuses (ValueTooLong, record unchanged) values over kMaxValueBytes.
  PushResult push(std::uint16_t id, std::span<const std::uint8_t> bytes);
  // Text entry: the text's bytes without terminator, padded like a byte array.
  PushResult push(std::uint16_t id, std::string_view text);

  // Array entry of 16-, 32- or 64-bit elements, each little-endian, with w
  // computed from `byte_length` (which must equal elements.size() * sizeof(T)).
  // Refuses values over kMaxValueBytes (ValueTooLong) and a wrong byte length
  // (LengthMismatch); the record is then unchanged.
  template <ArrayElement T>
  PushResult encode_with(std::uint16_t id, std::size_t byte_length, std::span<const T> elements);
  template <ArrayElement T>
  PushResult encode_with(std::uint16_t id, std::span<const T> elements) {
    return encode_with<T>(id, elements.size_bytes(), elements);
  }

  // Appends bytes unchanged, with no entry header (entries encoded elsewhere).
  void append_raw(std::span<const std::uint8_t> bytes);

  // The record so far; invalidated by the next push.
  std::span<const std::uint8_t> bytes() const noexcept { return buf_; }
  std::size_t size() const noexcept { return buf_.size(); }
  bool empty() const noexcept { return buf_.empty(); }
  // Hands the record over (e.g. as a packet payload), leaving the builder empty.
  std::vector<std::uint8_t> into_bytes() && { return std::move(buf_); }

 private:
  void put_header(std::uint16_t id, std::size_t value_bytes);

  std::vector<std::uint8_t> buf_;
};

#define MOK_FXR_EXTERN_PUSH(T) extern template void Builder::push<T>(std::uint16_t, T);
MOK_FXR_EXTERN_PUSH(std::int8_t)
MOK_FXR_EXTERN_PUSH(std::uint8_t)
MOK_FXR_EXTERN_PUSH(std::int16_t)
MOK_FXR_EXTERN_PUSH(std::uint16_t)
MOK_FXR_EXTERN_PUSH(std::int32_t)
MOK_FXR_EXTERN_PUSH(std::uint32_t)
MOK_FXR_EXTERN_PUSH(std::int64_t)
MOK_FXR_EXTERN_PUSH(std::uint64_t)
MOK_FXR_EXTERN_PUSH(float)
MOK_FXR_EXTERN_PUSH(double)
#undef MOK_FXR_EXTERN_PUSH

#define MOK_FXR_EXTERN_ENCODE(T) \
  extern template PushResult Builder::encode_with<T>(std::uint16_t, std::size_t, std::span<const T>);
MOK_FXR_EXTERN_ENCODE(std::int16_t)
MOK_FXR_EXTERN_ENCODE(std::uint16_t)
MOK_FXR_EXTERN_ENCODE(std::int32_t)
MOK_FXR_EXTERN_ENCODE(std::uint32_t)
MOK_FXR_EXTERN_ENCODE(std::int64_t)
MOK_FXR_EXTERN_ENCODE(std::uint64_t)
MOK_FXR_EXTERN_ENCODE(float)
MOK_FXR_EXTERN_ENCODE(double)
#undef MOK_FXR_EXTERN_ENCODE

}  // namespace mok::fxr

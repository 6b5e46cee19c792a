// Reader and RegisterIter: walk a received register record and look register
// ids up in it. The walk never fails: a record that ends early (fewer than 4
// header bytes, or fewer value bytes than the header announces) simply ends
// the walk, so later entries are unreachable and lookups report absence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fxr/map_to.hpp"

namespace mok::fxr {

// One entry as seen by a reader: the value points into the walked record and
// holds all 2 * w bytes the header announced (a pad byte included).
struct Entry {
  std::uint16_t id = 0;
  std::span<const std::uint8_t> value;
};

// Walks a record's entries in order, duplicates included. Borrows the bytes:
// they must outlive the iterator and every Entry taken from it.
class RegisterIter {
 public:
  RegisterIter() = default;
  explicit RegisterIter(std::span<const std::uint8_t> record) noexcept : rec_(record) {}

  // The next entry, or nullopt at the end; once at the end (also after a
  // cut-short entry) it keeps reporting the end.
  std::optional<Entry> next() noexcept;

 private:
  std::span<const std::uint8_t> rec_;
  std::size_t pos_ = 0;
};

// Read-only view over a record. Every lookup rescans from the first byte and
// returns the first entry with the id; later duplicates are never seen.
// Borrows the bytes like RegisterIter.
class Reader {
 public:
  Reader() = default;
  explicit Reader(std::span<const std::uint8_t> record) noexcept : rec_(record) {}

  // The first entry with this id, value bytes untouched.
  std::optional<Entry> find(std::uint16_t id) const noexcept;

  // Scalar value: the first sizeof(T) bytes little-endian; a value shorter than
  // T reads as 0 and still counts as found. No allocation.
  template <Scalar T>
  std::optional<T> peek(std::uint16_t id) const noexcept;

  // Array value: floor(2 * w / sizeof(T)) elements; leftover bytes ignored
  // (for 8-bit T all 2 * w value bytes, pad byte included).
  template <Scalar T>
  std::optional<std::vector<T>> peek_slice(std::uint16_t id) const;

  // Text value as MapTo<std::string> converts it (pad byte kept as NUL).
  std::optional<std::string> peek_text(std::uint16_t id) const;

  RegisterIter iter() const noexcept { return RegisterIter{rec_}; }
  std::span<const std::uint8_t> bytes() const noexcept { return rec_; }

 private:
  std::span<const std::uint8_t> rec_;
};

#define MOK_FXR_EXTERN_PEEK(T)                                                    \
  extern template std::optional<T> Reader::peek<T>(std::uint16_t) const noexcept; \
  extern template std::optional<std::vector<T>> Reader::peek_slice<T>(std::uint16_t) const;
MOK_FXR_EXTERN_PEEK(std::int8_t)
MOK_FXR_EXTERN_PEEK(std::uint8_t)
MOK_FXR_EXTERN_PEEK(std::int16_t)
MOK_FXR_EXTERN_PEEK(std::uint16_t)
MOK_FXR_EXTERN_PEEK(std::int32_t)
MOK_FXR_EXTERN_PEEK(std::uint32_t)
MOK_FXR_EXTERN_PEEK(std::int64_t)
MOK_FXR_EXTERN_PEEK(std::uint64_t)
MOK_FXR_EXTERN_PEEK(float)
MOK_FXR_EXTERN_PEEK(double)
#undef MOK_FXR_EXTERN_PEEK

}  // namespace mok::fxr

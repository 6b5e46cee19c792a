// The mok_fxr_* C exports: each checks its pointers, makes one call into the
// register-record code and converts the result to a status or neutral value.
// No exception crosses this file; nothing here logs (pushes refuse silently).
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "ffi/guard.hpp"
#include "fxr/builder.hpp"
#include "fxr/map_to.hpp"
#include "fxr/reader.hpp"
#include "mok/mok_fxr.h"

struct mok_fxr_builder {
  mok::fxr::Builder b;
};

struct mok_fxr_iter {
  mok::fxr::RegisterIter it;
};

namespace {

using mok::ffi::guarded;
using mok::fxr::Builder;
using mok::fxr::MapTo;
using mok::fxr::Reader;

// Status codes; the numbers are part of the C interface and never change.
enum class Status : std::int32_t { Ok = 0, Null = -1, NotFound = -2, TooSmall = -3, NoMemory = -4 };
static_assert(static_cast<std::int32_t>(Status::Ok) == MOK_FXR_OK);
static_assert(static_cast<std::int32_t>(Status::Null) == MOK_FXR_ERR_NULL);
static_assert(static_cast<std::int32_t>(Status::NotFound) == MOK_FXR_ERR_NOT_FOUND);
static_assert(static_cast<std::int32_t>(Status::TooSmall) == MOK_FXR_ERR_TOO_SMALL);
static_assert(static_cast<std::int32_t>(Status::NoMemory) == MOK_FXR_ERR_NO_MEMORY);
static_assert(MOK_FXR_MAX_VALUE_BYTES == mok::fxr::kMaxValueBytes);
static_assert(MOK_FXR_MAX_TEXT_BYTES == 3 * mok::fxr::kMaxValueBytes + 1);

// Hosts build these structs themselves; their layout is fixed.
static_assert(sizeof(mok_fxr_view_t) == 16 && offsetof(mok_fxr_view_t, data) == 0 &&
              offsetof(mok_fxr_view_t, len) == 8);
static_assert(sizeof(mok_fxr_entry_t) == 24 && offsetof(mok_fxr_entry_t, id) == 0 &&
              offsetof(mok_fxr_entry_t, data) == 8 && offsetof(mok_fxr_entry_t, len) == 16);

constexpr std::int32_t code(Status s) { return static_cast<std::int32_t>(s); }

// Stands in for the data of an empty builder: a view's data is NULL only for a
// NULL builder, so an empty record can still be iterated.
const std::uint8_t kNoBytes = 0;

// A view whose data is NULL is read as empty, whatever its len claims.
std::span<const std::uint8_t> bytes_of(const mok_fxr_view_t& v) {
  if (v.data == nullptr) return {};
  return {v.data, v.len};
}

Reader reader_of(const mok_fxr_view_t& v) { return Reader{bytes_of(v)}; }

std::span<const std::uint8_t> value_of(const mok_fxr_entry_t& e) {
  if (e.data == nullptr) return {};
  return {e.data, e.len};
}

template <class T>
mok::fxr::PushResult push_array(Builder& b, std::uint16_t id, const T* values, std::size_t count) {
  // Checked before count * sizeof(T) is formed, so a huge count cannot wrap.
  if (count > mok::fxr::kMaxValueBytes / sizeof(T)) {
    return mok::err(mok::fxr::PushError::ValueTooLong);
  }
  if constexpr (sizeof(T) == 1) {
    return b.push(id, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(values), count));
  } else {
    return b.encode_with<T>(id, std::span<const T>(values, count));
  }
}

template <class T>
std::int32_t store_scalar(const std::optional<T>& v, T* out) {
  if (!v) return code(Status::NotFound);
  *out = *v;
  return code(Status::Ok);
}

// Converts through a temporary so a destination that overlaps the record
// still receives the values as they were before the copy.
template <class T>
std::int32_t store_elements(std::span<const std::uint8_t> value, T* dst, std::size_t cap) {
  const std::size_t n = value.size() / sizeof(T);
  if (n > cap || n > static_cast<std::size_t>(INT32_MAX)) return code(Status::TooSmall);
  const std::vector<T> tmp = MapTo<std::vector<T>>::map_to(value);
  if (n != 0) std::memcpy(dst, tmp.data(), n * sizeof(T));
  return static_cast<std::int32_t>(n);
}

template <class T>
std::int32_t peek_elements(const mok_fxr_view_t& view, std::uint16_t id, T* dst, std::size_t cap) {
  const auto e = reader_of(view).find(id);
  if (!e) return code(Status::NotFound);
  return store_elements<T>(e->value, dst, cap);
}

}  // namespace

extern "C" MOK_API mok_fxr_builder_t* mok_fxr_builder_new(void) {
  try {
    return new mok_fxr_builder{};
  } catch (...) {
    return nullptr;
  }
}

extern "C" MOK_API void mok_fxr_builder_free(mok_fxr_builder_t* builder) { delete builder; }

extern "C" MOK_API mok_fxr_view_t mok_fxr_builder_view(const mok_fxr_builder_t* builder) {
  if (builder == nullptr) return {nullptr, 0};
  const auto bytes = builder->b.bytes();
  if (bytes.empty()) return {&kNoBytes, 0};
  return {bytes.data(), bytes.size()};
}

extern "C" MOK_API mok_fxr_view_t mok_fxr_view(const uint8_t* data, size_t len) {
  if (data == nullptr) return {nullptr, 0};
  return {data, len};
}

extern "C" MOK_API mok_fxr_iter_t* mok_fxr_iter_new(mok_fxr_view_t view) {
  if (view.data == nullptr) return nullptr;
  try {
    return new mok_fxr_iter{mok::fxr::RegisterIter{bytes_of(view)}};
  } catch (...) {
    return nullptr;
  }
}

extern "C" MOK_API bool mok_fxr_iter_next(mok_fxr_iter_t* iter, mok_fxr_entry_t* out) {
  if (iter == nullptr || out == nullptr) return false;
  try {
    const auto e = iter->it.next();
    if (!e) return false;
    *out = mok_fxr_entry_t{e->id, e->value.data(), e->value.size()};
    return true;
  } catch (...) {
    return false;
  }
}

extern "C" MOK_API void mok_fxr_iter_free(mok_fxr_iter_t* iter) { delete iter; }

// The register-record family's own documented version, independent of the library's.
constexpr char kRecordsVersion[] = "1.1.0";

extern "C" MOK_API const char* mok_fxr_version(void) { return kRecordsVersion; }

extern "C" MOK_API void mok_fxr_push_bytes(mok_fxr_builder_t* builder, const uint8_t* data, size_t len) {
  if (builder == nullptr || data == nullptr) return;
  try {
    builder->b.append_raw({data, len});
  } catch (...) {
  }
}

extern "C" MOK_API void mok_fxr_push_cstr(mok_fxr_builder_t* builder, uint16_t id, const char* text) {
  if (builder == nullptr || text == nullptr) return;
  try {
    (void)builder->b.push(id, std::string_view{text});
  } catch (...) {
  }
}

extern "C" MOK_API int32_t mok_fxr_peek_cstr(const mok_fxr_view_t* view, uint16_t id, char* dst, size_t cap) {
  if (view == nullptr || dst == nullptr) return code(Status::Null);
  if (cap == 0) return code(Status::TooSmall);
  return guarded(code(Status::NotFound), code(Status::NoMemory), [&] {
    const auto text = reader_of(*view).peek_text(id);
    if (!text) return code(Status::NotFound);
    if (text->size() >= cap) return code(Status::TooSmall);
    std::memmove(dst, text->data(), text->size());
    dst[text->size()] = '\0';
    return static_cast<std::int32_t>(text->size());
  });
}

extern "C" MOK_API const char* mok_fxr_as_cstr(const mok_fxr_entry_t* entry) {
  if (entry == nullptr) return nullptr;
  return reinterpret_cast<const char*>(entry->data);
}

// The six exports of one value type. A failure inside (only memory running out
// is possible) yields: nothing appended from a push, MOK_FXR_ERR_NO_MEMORY from
// an array lookup or conversion (a scalar lookup does not allocate).
#define MOK_FXR_TYPE_EXPORTS(S, T)                                                                              \
  extern "C" MOK_API void mok_fxr_push_##S(mok_fxr_builder_t* builder, uint16_t id, T value) {                  \
    if (builder == nullptr) return;                                                                             \
    try {                                                                                                       \
      builder->b.push<T>(id, value);                                                                            \
    } catch (...) {                                                                                             \
    }                                                                                                           \
  }                                                                                                             \
  extern "C" MOK_API void mok_fxr_push_##S##s(mok_fxr_builder_t* builder, uint16_t id, const T* values,         \
                                              size_t count) {                                                   \
    if (builder == nullptr || values == nullptr) return;                                                        \
    try {                                                                                                       \
      (void)push_array<T>(builder->b, id, values, count);                                                       \
    } catch (...) {                                                                                             \
    }                                                                                                           \
  }                                                                                                             \
  extern "C" MOK_API int32_t mok_fxr_peek_##S(const mok_fxr_view_t* view, uint16_t id, T* out) {                \
    if (view == nullptr || out == nullptr) return code(Status::Null);                                           \
    try {                                                                                                       \
      return store_scalar<T>(reader_of(*view).peek<T>(id), out);                                                \
    } catch (...) {                                                                                             \
      return code(Status::NotFound);                                                                            \
    }                                                                                                           \
  }                                                                                                             \
  extern "C" MOK_API int32_t mok_fxr_peek_##S##s(const mok_fxr_view_t* view, uint16_t id, T* dst, size_t cap) { \
    if (view == nullptr || dst == nullptr) return code(Status::Null);                                           \
    return guarded(code(Status::NotFound), code(Status::NoMemory),                                              \
                   [&] { return peek_elements<T>(*view, id, dst, cap); });                                      \
  }                                                                                                             \
  extern "C" MOK_API T mok_fxr_as_##S(const mok_fxr_entry_t* entry) {                                           \
    if (entry == nullptr) return T{};                                                                           \
    return MapTo<T>::map_to(value_of(*entry));                                                                  \
  }                                                                                                             \
  extern "C" MOK_API int32_t mok_fxr_as_##S##s(const mok_fxr_entry_t* entry, T* dst, size_t cap) {              \
    if (entry == nullptr || dst == nullptr) return code(Status::Null);                                          \
    if (entry->data == nullptr && entry->len != 0) return code(Status::Null);                                   \
    return guarded(code(Status::NoMemory), code(Status::NoMemory),                                              \
                   [&] { return store_elements<T>(value_of(*entry), dst, cap); });                              \
  }

MOK_FXR_TYPE_EXPORTS(i8, int8_t)
MOK_FXR_TYPE_EXPORTS(u8, uint8_t)
MOK_FXR_TYPE_EXPORTS(i16, int16_t)
MOK_FXR_TYPE_EXPORTS(u16, uint16_t)
MOK_FXR_TYPE_EXPORTS(i32, int32_t)
MOK_FXR_TYPE_EXPORTS(u32, uint32_t)
MOK_FXR_TYPE_EXPORTS(i64, int64_t)
MOK_FXR_TYPE_EXPORTS(u64, uint64_t)
MOK_FXR_TYPE_EXPORTS(f32, float)
MOK_FXR_TYPE_EXPORTS(f64, double)
#undef MOK_FXR_TYPE_EXPORTS

// Register records from the wire: the C++ walk and the C iterator see the
// same entries inside the record's bounds, every lookup finds the first entry
// with its id (or reports absence), and every typed peek and conversion of
// the C interface answers within its documented results without reading
// outside the record.
#include <cstring>
#include <set>
#include <vector>

#include "check.hpp"
#include "fxr/reader.hpp"
#include "mok/mok_fxr.h"

using namespace mok;

namespace {

template <class T>
T le(const uint8_t* p, size_t len) {
  if (len < sizeof(T)) return T{};
  T v;
  uint8_t tmp[sizeof(T)];
  std::memcpy(tmp, p, sizeof(T));  // little-endian host
  std::memcpy(&v, tmp, sizeof(T));
  return v;
}

template <class T>
bool same_bits(T a, T b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// Scalar peek: found entries read as their first bytes, absent ids leave *out alone.
template <class T>
void check_peek(int32_t (*peek)(const mok_fxr_view_t*, uint16_t, T*), const mok_fxr_view_t& view, uint16_t id,
                const fxr::Entry* first) {
  T out;
  std::memset(&out, 0x5A, sizeof out);
  const T before = out;
  const int32_t rc = peek(&view, id, &out);
  if (!first) {
    FUZZ_CHECK(rc == MOK_FXR_ERR_NOT_FOUND && same_bits(out, before));
    return;
  }
  FUZZ_CHECK(rc == MOK_FXR_OK);
  FUZZ_CHECK(same_bits(out, le<T>(first->value.data(), first->value.size())));
  FUZZ_CHECK(peek(&view, id, nullptr) == MOK_FXR_ERR_NULL);
}

// Array peek: the element count is all whole elements; a destination one
// element short is refused untouched.
template <class T>
void check_peeks(int32_t (*peek)(const mok_fxr_view_t*, uint16_t, T*, size_t), const mok_fxr_view_t& view,
                 uint16_t id, const fxr::Entry* first) {
  std::vector<T> dst(MOK_FXR_MAX_VALUE_BYTES / sizeof(T) + 1);
  const int32_t rc = peek(&view, id, dst.data(), dst.size());
  if (!first) {
    FUZZ_CHECK(rc == MOK_FXR_ERR_NOT_FOUND);
    return;
  }
  const size_t n = first->value.size() / sizeof(T);
  FUZZ_CHECK(rc == static_cast<int32_t>(n));
  FUZZ_CHECK(n == 0 || std::memcmp(dst.data(), first->value.data(), n * sizeof(T)) == 0);
  if (n > 0) FUZZ_CHECK(peek(&view, id, dst.data(), n - 1) == MOK_FXR_ERR_TOO_SMALL);
}

template <class T>
void check_as(T (*as)(const mok_fxr_entry_t*), int32_t (*as_s)(const mok_fxr_entry_t*, T*, size_t),
              const mok_fxr_entry_t& e) {
  FUZZ_CHECK(same_bits(as(&e), le<T>(e.data, e.len)));
  std::vector<T> dst(e.len / sizeof(T) + 1);
  const int32_t n = as_s(&e, dst.data(), dst.size());
  FUZZ_CHECK(n == static_cast<int32_t>(e.len / sizeof(T)));
  if (n > 0) {
    FUZZ_CHECK(std::memcmp(dst.data(), e.data, size_t(n) * sizeof(T)) == 0);
    FUZZ_CHECK(as_s(&e, dst.data(), size_t(n) - 1) == MOK_FXR_ERR_TOO_SMALL);
  }
}

void check_all_peeks(const mok_fxr_view_t& view, uint16_t id, const fxr::Entry* first) {
  check_peek(mok_fxr_peek_i8, view, id, first);
  check_peek(mok_fxr_peek_u8, view, id, first);
  check_peek(mok_fxr_peek_i16, view, id, first);
  check_peek(mok_fxr_peek_u16, view, id, first);
  check_peek(mok_fxr_peek_i32, view, id, first);
  check_peek(mok_fxr_peek_u32, view, id, first);
  check_peek(mok_fxr_peek_i64, view, id, first);
  check_peek(mok_fxr_peek_u64, view, id, first);
  check_peek(mok_fxr_peek_f32, view, id, first);
  check_peek(mok_fxr_peek_f64, view, id, first);
  check_peeks(mok_fxr_peek_i8s, view, id, first);
  check_peeks(mok_fxr_peek_u8s, view, id, first);
  check_peeks(mok_fxr_peek_i16s, view, id, first);
  check_peeks(mok_fxr_peek_u16s, view, id, first);
  check_peeks(mok_fxr_peek_i32s, view, id, first);
  check_peeks(mok_fxr_peek_u32s, view, id, first);
  check_peeks(mok_fxr_peek_i64s, view, id, first);
  check_peeks(mok_fxr_peek_u64s, view, id, first);
  check_peeks(mok_fxr_peek_f32s, view, id, first);
  check_peeks(mok_fxr_peek_f64s, view, id, first);

  std::vector<char> text(MOK_FXR_MAX_TEXT_BYTES);
  const int32_t m = mok_fxr_peek_cstr(&view, id, text.data(), text.size());
  if (!first) {
    FUZZ_CHECK(m == MOK_FXR_ERR_NOT_FOUND);
    return;
  }
  // Every value fits the documented text size; each byte becomes at most three.
  FUZZ_CHECK(m >= 0 && size_t(m) < text.size() && size_t(m) <= 3 * first->value.size());
  FUZZ_CHECK(text[size_t(m)] == '\0');
  if (m > 0) FUZZ_CHECK(mok_fxr_peek_cstr(&view, id, text.data(), size_t(m)) == MOK_FXR_ERR_TOO_SMALL);
  auto cpp_text = fxr::Reader(std::span(view.data, view.len)).peek_text(id);
  FUZZ_CHECK(cpp_text && cpp_text->size() == size_t(m) &&
             std::memcmp(cpp_text->data(), text.data(), size_t(m)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Control ctl(data, size);
  const uint16_t probe = ctl.u16();
  const auto record = ctl.rest();
  const fxr::Reader reader(record);
  const mok_fxr_view_t view = mok_fxr_view(record.data(), record.size());

  // Walk both ways in step.
  std::vector<fxr::Entry> entries;
  mok_fxr_iter_t* it = mok_fxr_iter_new(view);
  FUZZ_CHECK(it != nullptr || record.data() == nullptr);
  auto walk = reader.iter();
  size_t end = 0;
  for (;;) {
    auto e = walk.next();
    mok_fxr_entry_t ce{};
    const bool c_more = it && mok_fxr_iter_next(it, &ce);
    FUZZ_CHECK(e.has_value() == c_more);
    if (!e) break;
    FUZZ_CHECK(ce.id == e->id && ce.data == e->value.data() && ce.len == e->value.size());
    // Entries are contiguous: header, then 2 * w value bytes, inside the record.
    FUZZ_CHECK(e->value.data() == record.data() + end + 4);
    FUZZ_CHECK(e->value.size() % 2 == 0 && e->value.size() <= MOK_FXR_MAX_VALUE_BYTES);
    end += 4 + e->value.size();
    FUZZ_CHECK(end <= record.size());
    check_as(mok_fxr_as_i8, mok_fxr_as_i8s, ce);
    check_as(mok_fxr_as_u8, mok_fxr_as_u8s, ce);
    check_as(mok_fxr_as_i16, mok_fxr_as_i16s, ce);
    check_as(mok_fxr_as_u16, mok_fxr_as_u16s, ce);
    check_as(mok_fxr_as_i32, mok_fxr_as_i32s, ce);
    check_as(mok_fxr_as_u32, mok_fxr_as_u32s, ce);
    check_as(mok_fxr_as_i64, mok_fxr_as_i64s, ce);
    check_as(mok_fxr_as_u64, mok_fxr_as_u64s, ce);
    check_as(mok_fxr_as_f32, mok_fxr_as_f32s, ce);
    check_as(mok_fxr_as_f64, mok_fxr_as_f64s, ce);
    FUZZ_CHECK(mok_fxr_as_cstr(&ce) == reinterpret_cast<const char*>(ce.data));
    entries.push_back(*e);
  }
  // The end is sticky.
  mok_fxr_entry_t after{};
  FUZZ_CHECK(!walk.next() && !(it && mok_fxr_iter_next(it, &after)));
  mok_fxr_iter_free(it);

  // Lookups: every walked id once (first entry wins), plus the probe id.
  std::set<uint16_t> ids{probe};
  for (const auto& e : entries) ids.insert(e.id);
  for (uint16_t id : ids) {
    const fxr::Entry* first = nullptr;
    for (const auto& e : entries) {
      if (e.id == id) {
        first = &e;
        break;
      }
    }
    auto found = reader.find(id);
    FUZZ_CHECK(found.has_value() == (first != nullptr));
    if (first) FUZZ_CHECK(found->value.data() == first->value.data());
    check_all_peeks(view, id, first);
  }
  return 0;
}

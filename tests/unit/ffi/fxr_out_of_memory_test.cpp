// Register-record lookups when memory runs out: the host must be able to tell
// that apart from a missing entry and from an empty value. Allocation failure
// is simulated on this thread through a replaced global operator new.
#include <cstdint>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "mok/mok_fxr.h"
#include "support/under_tsan.hpp"

namespace {
thread_local bool fail_allocations = false;
}

#ifndef MOK_TEST_UNDER_TSAN
// Optimising g++ inlines these replacements into gtest's `new TestClass` and
// `delete` and then sees free() paired with operator new; it is our malloc.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(size_t n) {
  if (fail_allocations) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  return fail_allocations ? nullptr : std::malloc(n ? n : 1);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
#endif

namespace {

TEST(FxrOutOfMemory, LookupsSayMemoryRanOutNotNotFoundOrEmpty) {
#ifdef MOK_TEST_UNDER_TSAN
  GTEST_SKIP() << "allocation functions cannot be replaced under ThreadSanitizer";
#endif
  mok_fxr_builder_t* b = mok_fxr_builder_new();
  ASSERT_NE(b, nullptr);
  const int32_t values[3] = {1, 2, 3};
  mok_fxr_push_i32s(b, 7, values, 3);
  mok_fxr_push_cstr(b, 8, "a text past the short-string buffer");  // 35 bytes + pad
  const mok_fxr_view_t view = mok_fxr_builder_view(b);
  const mok_fxr_entry_t entry{7, view.data + 4, 12};
  int32_t out[3] = {};
  char text[64] = {};

  fail_allocations = true;
  const int32_t peeked = mok_fxr_peek_i32s(&view, 7, out, 3);
  const int32_t converted = mok_fxr_as_i32s(&entry, out, 3);
  const int32_t peeked_text = mok_fxr_peek_cstr(&view, 8, text, sizeof text);
  fail_allocations = false;

  EXPECT_EQ(peeked, MOK_FXR_ERR_NO_MEMORY);
  EXPECT_EQ(converted, MOK_FXR_ERR_NO_MEMORY);
  EXPECT_EQ(peeked_text, MOK_FXR_ERR_NO_MEMORY);
  // With memory back, the same calls deliver.
  EXPECT_EQ(mok_fxr_peek_i32s(&view, 7, out, 3), 3);
  EXPECT_EQ(mok_fxr_as_i32s(&entry, out, 3), 3);
  EXPECT_EQ(out[2], 3);
  EXPECT_EQ(mok_fxr_peek_cstr(&view, 8, text, sizeof text), 36);
  mok_fxr_builder_free(b);
}

}  // namespace

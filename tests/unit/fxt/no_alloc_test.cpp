// Head parsing and writing run once per packet on the read and write paths
// and must not allocate, refusals included. Counts this thread's allocations
// through a replaced global operator new.
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "fxt/packet/head.hpp"
#include "support/under_tsan.hpp"
#include "wire_bytes.hpp"

namespace {
thread_local size_t allocations = 0;
}

#ifndef MOK_TEST_UNDER_TSAN
// Optimising g++ inlines these replacements into gtest's `new TestClass` and
// `delete` and then sees free() paired with operator new; it is our malloc.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(size_t n) {
  ++allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

// The nothrow forms are replaced too: the C exports allocate with them, and
// every allocation must pair with the replaced delete (ASan checks the
// pairing).
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  ++allocations;
  return std::malloc(n ? n : 1);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
#endif

namespace mok::fxt {
namespace {

TEST(HeadCodec, ParsesAndWritesWithoutAllocating) {
#ifdef MOK_TEST_UNDER_TSAN
  GTEST_SKIP() << "allocation functions cannot be replaced under ThreadSanitizer";
#endif
  const auto good = testing::raw_head(100, 0xFF, 23, 18, 1, 2);
  const std::array<std::array<uint8_t, 24>, 4> bad{
      testing::raw_head(2, 0, 0, 0), testing::raw_head(0x4000001, 0, 0, 0), testing::raw_head(8, 0, 12, 0),
      testing::raw_head(8, 0, 0, 512)};
  const size_t before = allocations;
  auto r = Head::parse(good);
  const bool ok = r.ok();
  auto bytes = r.value().to_bytes();
  size_t refused = 0;
  for (const auto& b : bad) refused += Head::parse(b).ok() ? 0 : 1;
  refused += Head::parse({good.data(), 10}).ok() ? 0 : 1;
  const size_t during = allocations - before;
  EXPECT_TRUE(ok);
  EXPECT_EQ(bytes[0], 0);
  EXPECT_EQ(refused, 5u);
  EXPECT_EQ(during, 0u);
}

}  // namespace
}  // namespace mok::fxt

// What every fuzz target shares: a property check that stops the run with a
// readable message (libFuzzer then saves the input), and a reader that pulls
// small control values off the front of an input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#define FUZZ_CHECK(cond)                                                               \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

namespace mok::fuzz {

// Takes control bytes from the front of the input; once it runs dry every
// value reads as 0, so short inputs still drive a complete run.
class Control {
 public:
  Control(const uint8_t* data, size_t size) noexcept : data_(data), size_(size) {}
  uint8_t u8() noexcept {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  uint16_t u16() noexcept { return static_cast<uint16_t>(u8() | (u8() << 8)); }
  // Whatever is left.
  std::span<const uint8_t> rest() const noexcept { return {data_, size_}; }
  size_t remaining() const noexcept { return size_; }
  // The next `n` bytes (fewer at the end).
  std::span<const uint8_t> take(size_t n) noexcept {
    if (n > size_) n = size_;
    std::span<const uint8_t> out{data_, n};
    data_ += n;
    size_ -= n;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

}  // namespace mok::fuzz

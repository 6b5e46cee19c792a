// Head::parse on arbitrary bytes: an accepted head obeys every receive rule,
// writes back to the same bytes (undefined flag bits aside), and a refused
// one is refused for the first rule the bytes break.
#include "fxt/packet/head.hpp"

#include <cstring>

#include "check.hpp"

using namespace mok::fxt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto parsed = Head::parse({data, size});
  if (size < kHeadLen) {
    FUZZ_CHECK(!parsed);
    return 0;
  }
  const uint32_t length =
      (uint32_t{data[0]} << 24) | (uint32_t{data[1]} << 16) | (uint32_t{data[2]} << 8) | data[3];
  const uint16_t stream = static_cast<uint16_t>((data[6] << 8) | data[7]);
  const bool valid = length >= kMinLength && length <= kMaxLength && kind_from_code(data[5]).has_value() &&
                     stream < kStreamIdLimit;
  FUZZ_CHECK(parsed.ok() == valid);
  if (!parsed) return 0;

  const Head& h = *parsed;
  FUZZ_CHECK(h.length == length);
  FUZZ_CHECK((h.flags.bits & ~Flags::kAll) == 0);
  FUZZ_CHECK(h.flags.bits == (data[4] & Flags::kAll));
  FUZZ_CHECK(h.stream_id == stream);

  auto bytes = h.to_bytes();
  uint8_t expected[kHeadLen];
  std::memcpy(expected, data, kHeadLen);
  expected[4] &= Flags::kAll;
  FUZZ_CHECK(std::memcmp(bytes.data(), expected, kHeadLen) == 0);
  auto again = Head::parse(bytes);
  FUZZ_CHECK(again.ok() && *again == h);
  return 0;
}

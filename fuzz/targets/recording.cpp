// Recording files as `mokctl convert` and the simulator's replay read them:
// whatever the bytes, reading either fails with a reason or gives packets
// that, written out again, are the file itself (or, for a file cut off
// inside a packet, the part before the cut), with times that never go back.
#include "recording.hpp"

#include <cstring>
#include <span>
#include <vector>

#include "check.hpp"
#include "common/wire.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);  // exact size: an overread shows
  auto r = camsim::parse_recording(bytes);
  if (!r) {
    FUZZ_CHECK(!r.error().empty());
    return 0;
  }
  std::vector<uint8_t> again;
  camsim::append_recording_header(again, r->start_unix_us);
  std::uint64_t last = 0;
  for (const auto& p : r->packets) {
    FUZZ_CHECK(p.time_us >= last && p.payload.size() <= mok::wire::kMaxLength);
    last = p.time_us;
    camsim::append_recorded_packet(again, p.time_us, p.head, p.payload);
  }
  FUZZ_CHECK(r->truncated ? again.size() < size : again.size() == size);
  FUZZ_CHECK(std::memcmp(again.data(), bytes.data(), again.size()) == 0);
  return 0;
}

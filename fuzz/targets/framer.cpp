// The framer fed one input in chunks whose sizes the input itself chooses:
// every packet it returns obeys the head rules, the bytes it consumes add up
// to what was fed, and the packets do not depend on how the stream was cut.
#include "fxt/packet/framer.hpp"

#include <cstring>
#include <vector>

#include "check.hpp"

using namespace mok;
using namespace mok::fxt;

namespace {

struct Outcome {
  std::vector<Packet> packets;
  size_t consumed = 0;  // head and payload bytes of the returned packets
  bool failed = false;
};

// Feeds `stream` in pieces of the given sizes (cycled), then ends it.
Outcome run(std::span<const uint8_t> stream, std::span<const uint8_t> cuts) {
  Outcome out;
  Framer framer;
  BytesMut buf;
  size_t fed = 0;
  size_t cut = 0;
  auto drain = [&](bool eof) {
    for (;;) {
      auto r = eof ? framer.decode_eof(buf) : framer.decode(buf);
      if (!r) {
        out.failed = true;
        return;
      }
      if (!r.value()) return;
      Packet& p = *r.value();
      FUZZ_CHECK(p.head.length >= kMinLength && p.head.length <= kMaxLength);
      FUZZ_CHECK(p.payload.size() == p.head.length);
      FUZZ_CHECK(p.head.stream_id < kStreamIdLimit);
      FUZZ_CHECK(kind_from_code(to_code(p.head.kind)).has_value());
      FUZZ_CHECK((p.head.flags.bits & ~Flags::kAll) == 0);
      out.consumed += kHeadLen + p.payload.size();
      // The payload is the stream's bytes right after its head.
      FUZZ_CHECK(out.consumed <= fed);
      FUZZ_CHECK(
          std::memcmp(p.payload.data(), stream.data() + out.consumed - p.payload.size(), p.payload.size()) == 0);
      out.packets.push_back(std::move(p));
    }
  };
  while (fed < stream.size() && !out.failed) {
    size_t n = cuts.empty() ? stream.size() : size_t{cuts[cut++ % cuts.size()]} + 1;
    n = std::min(n, stream.size() - fed);
    buf.append(stream.subspan(fed, n));
    fed += n;
    drain(false);
    // What is held is exactly what was fed and not yet handed out, minus a
    // parsed head still waiting for its payload.
    if (!out.failed) {
      const size_t pending = framer.has_pending_head() ? kHeadLen : 0;
      FUZZ_CHECK(out.consumed + pending + buf.size() == fed);
    }
  }
  if (!out.failed) {
    drain(true);
    // A clean end means every byte belonged to a returned packet.
    if (!out.failed) FUZZ_CHECK(out.consumed == stream.size());
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Control ctl(data, size);
  const size_t ncuts = ctl.u8() % 16;
  auto cuts = ctl.take(ncuts);
  auto stream = ctl.rest();

  Outcome chunked = run(stream, cuts);
  Outcome whole = run(stream, {});
  FUZZ_CHECK(chunked.failed == whole.failed);
  FUZZ_CHECK(chunked.packets.size() == whole.packets.size());
  for (size_t i = 0; i < whole.packets.size(); ++i) {
    FUZZ_CHECK(chunked.packets[i].head == whole.packets[i].head);
    FUZZ_CHECK(chunked.packets[i].payload == whole.packets[i].payload);
  }
  return 0;
}

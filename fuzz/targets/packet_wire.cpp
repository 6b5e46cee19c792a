// The packet C interface's parsers on arbitrary bytes: try_parse_wire and
// head_parse must agree with each other, account for every byte they claim,
// and a parsed packet must write back to the bytes it came from.
#include <cstring>
#include <vector>

#include "check.hpp"
#include "mok/mok_fxt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mok_fxt_head_t head;
  std::memset(&head, 0xA5, sizeof head);
  const mok_fxt_head_t untouched = head;
  const bool head_ok = mok_fxt_head_parse(data, size, &head);
  if (!head_ok) FUZZ_CHECK(std::memcmp(&head, &untouched, sizeof head) == 0);

  mok_fxt_packet_t* packet = nullptr;
  size_t consumed = 12345;
  size_t needed = 12345;
  const bool ok = mok_fxt_packet_try_parse_wire(data, size, &packet, &consumed, &needed);
  if (ok) {
    FUZZ_CHECK(head_ok);
    FUZZ_CHECK(packet != nullptr);
    const size_t wire = MOK_FXT_HEAD_LEN + size_t{head.length};
    FUZZ_CHECK(consumed == wire && needed == wire && wire <= size);
    FUZZ_CHECK(mok_fxt_packet_wire_len(packet) == wire);
    FUZZ_CHECK(mok_fxt_packet_length(packet) == head.length);
    FUZZ_CHECK(mok_fxt_packet_kind(packet) == head.kind);
    FUZZ_CHECK(mok_fxt_packet_stream_id(packet) == head.stream_id);
    FUZZ_CHECK(mok_fxt_packet_seq(packet) == head.seq);
    FUZZ_CHECK(mok_fxt_packet_ts(packet) == head.ts);

    std::vector<uint8_t> out(wire);
    FUZZ_CHECK(mok_fxt_packet_write_wire(packet, out.data(), out.size()) == wire);
    FUZZ_CHECK(out[4] == (data[4] & MOK_FXT_FLAG_ALL));
    out[4] = data[4];
    FUZZ_CHECK(std::memcmp(out.data(), data, wire) == 0);
    // A buffer one byte short is refused and left alone.
    if (wire > 0) FUZZ_CHECK(mok_fxt_packet_write_wire(packet, out.data(), wire - 1) == 0);
    mok_fxt_packet_free(packet);
  } else {
    FUZZ_CHECK(packet == nullptr);
    if (size >= MOK_FXT_HEAD_LEN) {
      // A complete head: either it is invalid (needed 0) or only payload is missing.
      if (head_ok) {
        FUZZ_CHECK(needed == MOK_FXT_HEAD_LEN + size_t{head.length});
        FUZZ_CHECK(needed > size);
      } else {
        FUZZ_CHECK(needed == 0);
      }
    } else {
      FUZZ_CHECK(!head_ok);
      FUZZ_CHECK(needed > size || needed == 0);
    }
  }
  // The optional out-pointers may be omitted without changing the answer.
  mok_fxt_packet_t* again = nullptr;
  FUZZ_CHECK(mok_fxt_packet_try_parse_wire(data, size, &again, nullptr, nullptr) == ok);
  mok_fxt_packet_free(again);
  return 0;
}

// The 24-byte packet head: its in-memory form, its big-endian wire layout and
// the rules by which a received head is accepted. Parsing and writing are
// fixed-size and allocate nothing; they run once per received packet.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "common/clock.hpp"
#include "common/result.hpp"
#include "common/wire.hpp"
#include "fxt/error.hpp"
#include "fxt/packet/flags.hpp"
#include "fxt/packet/kind.hpp"

namespace mok::fxt {

using wire::kHeadLen;
// The largest valid length is also the most bytes the framer lets accumulate.
using wire::kMaxLength;
using wire::kMinLength;
using wire::kStreamIdLimit;

struct Head {
  uint32_t length = 0;  // payload bytes after the head
  Flags flags;
  Kind kind = Kind::Data;
  uint16_t stream_id = 0;
  uint64_t seq = 0;  // chosen by the sender; never assigned or checked here
  uint64_t ts = 0;   // microseconds of the sender's monotonic clock

  // seq 0 and ts now; checks nothing.
  static Head make(uint32_t length, Flags flags, Kind kind, uint16_t stream_id) noexcept;
  // Reads the first 24 bytes; the first failing check decides the error:
  // NotEnoughData, LengthTooSmall, LengthTooLarge, UnknownKind, InvalidStreamId.
  static Result<Head, Error> parse(std::span<const uint8_t> bytes) noexcept;
  // The wire bytes, flags and kind written as held.
  std::array<uint8_t, kHeadLen> to_bytes() const noexcept;
  void write_to(uint8_t* out) const noexcept;  // 24 bytes at out

  friend bool operator==(const Head&, const Head&) noexcept = default;
};

// "Head { length: 4, flags: Flags(END_STREAM), kind: Data, stream_id: 1, seq: 0, ts: 7 }"
std::string debug_string(const Head& head);

}  // namespace mok::fxt

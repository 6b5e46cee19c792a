// Cuts a TCP byte stream into packets. Pure: the caller owns the receive
// buffer and the socket, and feeds the buffer after every read. There is no
// resynchronisation; after an error the caller stops using the framer.
#pragma once

#include <optional>

#include "common/bytes.hpp"
#include "common/result.hpp"
#include "fxt/error.hpp"
#include "fxt/packet/packet.hpp"

namespace mok::fxt {

class Framer {
 public:
  // One packet cut from the front of `buf` (its payload shared with the
  // buffer, or copied where sharing would pin a much larger block: see
  // BytesMut::take), nullopt when more bytes are needed, or an error:
  // BufferTooLarge (buffer unchanged) when more than kMaxLength bytes are
  // buffered, or a head error (its 24 bytes consumed). Call again until it
  // answers nullopt.
  Result<std::optional<Packet>, Error> decode(BytesMut& buf);

  // The pass after the peer closed the stream: a packet if one is complete
  // (call again), the decode error, Io "bytes remaining on stream" when a
  // partial head or payload is left, nullopt when the stream ended cleanly.
  Result<std::optional<Packet>, Error> decode_eof(BytesMut& buf);

  bool has_pending_head() const noexcept { return pending_.has_value(); }

  // BufferTooLarge for more than kMaxLength buffered bytes; the count shown is
  // saturated at 32 bits rather than wrapped.
  static std::optional<Error> check_buffered(size_t n) noexcept;

 private:
  std::optional<Head> pending_;
};

inline constexpr const char* kBytesRemainingOnStream = "bytes remaining on stream";

}  // namespace mok::fxt

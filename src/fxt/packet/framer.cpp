// The framer's two states: awaiting a head (no pending head) and awaiting its
// payload. Space for a payload is never reserved up front, so a peer cannot
// make us allocate by announcing a large length; the buffer grows only as
// bytes really arrive, and never past kMaxLength before we refuse.
#include "fxt/packet/framer.hpp"

#include <limits>

namespace mok::fxt {

std::optional<Error> Framer::check_buffered(size_t n) noexcept {
  if (n <= kMaxLength) return std::nullopt;
  constexpr size_t kU32Max = std::numeric_limits<uint32_t>::max();
  return Error::buffer_too_large(static_cast<uint32_t>(n < kU32Max ? n : kU32Max), kMaxLength);
}

Result<std::optional<Packet>, Error> Framer::decode(BytesMut& buf) {
  if (auto e = check_buffered(buf.size())) return err(std::move(*e));
  if (!pending_ && buf.size() >= kHeadLen) {
    auto head = Head::parse(buf.span());
    buf.advance(kHeadLen);
    if (!head) return err(std::move(head.error()));
    pending_ = *head;
  }
  if (pending_ && buf.size() >= pending_->length) {
    Packet packet{*pending_, buf.take(pending_->length)};
    pending_.reset();
    return std::optional<Packet>(std::move(packet));
  }
  return std::optional<Packet>();
}

Result<std::optional<Packet>, Error> Framer::decode_eof(BytesMut& buf) {
  auto r = decode(buf);
  if (!r || r.value()) return r;
  // A head without its payload is data lost too, even when no byte of the
  // payload has arrived.
  if (!buf.empty() || pending_) return err(Error::io_message(kBytesRemainingOnStream));
  return r;
}

}  // namespace mok::fxt

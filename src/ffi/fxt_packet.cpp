// The packet C exports. Each one checks its pointers, makes one call into the
// packet model and converts the answer. Every body that can allocate runs in
// guarded(), so a failure, allocation included, becomes the function's
// neutral result; the rest only read or store plain fields.
#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "ffi/fxt_handles.hpp"
#include "ffi/guard.hpp"
#include "ffi/version_text.hpp"
#include "fxt/packet/head.hpp"

using mok::Bytes;
using mok::ffi::guarded;
using mok::fxt::Head;
using mok::fxt::Kind;
using mok::fxt::Packet;

// The C constants are the wire codes; they must never drift from the model.
static_assert(MOK_FXT_HEAD_LEN == mok::fxt::kHeadLen);
static_assert(MOK_FXT_MAX_LENGTH == mok::fxt::kMaxLength);
static_assert(MOK_FXT_STREAM_ID_LIMIT == mok::fxt::kStreamIdLimit);
static_assert(MOK_FXT_FLAG_END_STREAM == mok::fxt::Flags::kEndStream);
static_assert(MOK_FXT_FLAG_END_HEADERS == mok::fxt::Flags::kEndHeaders);
static_assert(MOK_FXT_FLAG_PADDED == mok::fxt::Flags::kPadded);
static_assert(MOK_FXT_FLAG_PRIORITY == mok::fxt::Flags::kPriority);
static_assert(MOK_FXT_FLAG_READONLY == mok::fxt::Flags::kReadonly);
static_assert(MOK_FXT_FLAG_ALL == mok::fxt::Flags::kAll);
static_assert(MOK_FXT_KIND_DATA == static_cast<int>(Kind::Data));
static_assert(MOK_FXT_KIND_HEADERS == static_cast<int>(Kind::Headers));
static_assert(MOK_FXT_KIND_PRIORITY == static_cast<int>(Kind::Priority));
static_assert(MOK_FXT_KIND_RESET == static_cast<int>(Kind::Reset));
static_assert(MOK_FXT_KIND_SETTINGS == static_cast<int>(Kind::Settings));
static_assert(MOK_FXT_KIND_PUSH_PROMISE == static_cast<int>(Kind::PushPromise));
static_assert(MOK_FXT_KIND_PING == static_cast<int>(Kind::Ping));
static_assert(MOK_FXT_KIND_GO_AWAY == static_cast<int>(Kind::GoAway));
static_assert(MOK_FXT_KIND_WINDOW_UPDATE == static_cast<int>(Kind::WindowUpdate));
static_assert(MOK_FXT_KIND_CONTINUATION == static_cast<int>(Kind::Continuation));
static_assert(MOK_FXT_KIND_FLEX_REGS == static_cast<int>(Kind::FlexRegs));
static_assert(MOK_FXT_KIND_JSON == static_cast<int>(Kind::Json));
static_assert(MOK_FXT_KIND_XML == static_cast<int>(Kind::Xml));
static_assert(MOK_FXT_KIND_VIDEO_H264 == static_cast<int>(Kind::VideoH264));
static_assert(MOK_FXT_KIND_VIDEO_H265 == static_cast<int>(Kind::VideoH265));
static_assert(MOK_FXT_KIND_VIDEO_VP8 == static_cast<int>(Kind::VideoVP8));
static_assert(MOK_FXT_KIND_VIDEO_VP9 == static_cast<int>(Kind::VideoVP9));
static_assert(MOK_FXT_KIND_RAW_GRAY8 == static_cast<int>(Kind::RawGray8));
static_assert(MOK_FXT_KIND_RAW_GRAY16 == static_cast<int>(Kind::RawGray16));
static_assert(MOK_FXT_KIND_RAW_YUV == static_cast<int>(Kind::RawYuv));
static_assert(MOK_FXT_KIND_RAW_RGB == static_cast<int>(Kind::RawRgb));
static_assert(MOK_FXT_KIND_UNKNOWN == static_cast<int>(Kind::Unknown));

namespace {

constexpr uint32_t kU32Max = std::numeric_limits<uint32_t>::max();

bool length_allowed(uint32_t length) noexcept {
  return length == 0 || (length >= mok::fxt::kMinLength && length <= mok::fxt::kMaxLength);
}
bool kind_allowed(uint8_t kind) noexcept { return kind != mok::fxt::to_code(Kind::Unknown); }
bool stream_allowed(uint16_t stream_id) noexcept { return stream_id < mok::fxt::kStreamIdLimit; }

uint32_t saturate(size_t n) noexcept { return n > kU32Max ? kU32Max : static_cast<uint32_t>(n); }

Head to_head(const mok_fxt_head_t& h) noexcept {
  return Head{h.length, mok::fxt::Flags{h.flags}, static_cast<Kind>(h.kind), h.stream_id, h.seq, h.ts};
}
mok_fxt_head_t to_c(const Head& h) noexcept {
  return mok_fxt_head_t{h.length, h.flags.bits, mok::fxt::to_code(h.kind), h.stream_id, h.seq, h.ts};
}

// The payload cut at the end or extended with zero bytes. Shrinking shares the
// old bytes, which are immutable.
Bytes resized(const Bytes& payload, uint32_t length) {
  if (length <= payload.size()) return payload.slice(0, length);
  std::vector<uint8_t> v(length, 0);
  if (!payload.empty()) std::memcpy(v.data(), payload.data(), payload.size());
  return Bytes(std::move(v));
}

Bytes copy_payload(const uint8_t* bytes, uint32_t len) {
  return len == 0 ? Bytes() : Bytes::copy_from({bytes, len});
}

// The packet behind a handle that may be changed, or null when shared.
Packet* owned(mok_fxt_packet_t* h) noexcept {
  return h && mok::fxt::is_sole_owner(h->packet) ? h->packet.get() : nullptr;
}

mok_fxt_packet_t* wrap(Packet p) { return mok::fxt::wrap_packet(mok::fxt::make_packet_ptr(std::move(p))); }

}  // namespace

extern "C" MOK_API mok_fxt_packet_t* mok_fxt_packet_new(uint32_t length, uint8_t flags, uint8_t kind,
                                                        uint16_t stream_id) {
  if (!length_allowed(length) || !kind_allowed(kind) || !stream_allowed(stream_id)) return nullptr;
  return guarded<mok_fxt_packet_t*>(nullptr, [&] {
    Head head = Head::make(length, mok::fxt::Flags{flags}, static_cast<Kind>(kind), stream_id);
    return wrap(Packet{head, resized(Bytes(), length)});
  });
}

extern "C" MOK_API mok_fxt_packet_t* mok_fxt_packet_from_payload(uint8_t flags, uint8_t kind, uint16_t stream_id,
                                                                 uint64_t seq, uint64_t ts, const uint8_t* payload,
                                                                 uint32_t payload_len) {
  if (!length_allowed(payload_len) || !kind_allowed(kind) || !stream_allowed(stream_id)) return nullptr;
  if (!payload && payload_len != 0) return nullptr;
  return guarded<mok_fxt_packet_t*>(nullptr, [&] {
    Head head{payload_len, mok::fxt::Flags{flags}, static_cast<Kind>(kind), stream_id, seq, ts};
    return wrap(Packet{head, copy_payload(payload, payload_len)});
  });
}

extern "C" MOK_API mok_fxt_packet_t* mok_fxt_packet_clone(const mok_fxt_packet_t* packet) {
  if (!packet) return nullptr;
  return guarded<mok_fxt_packet_t*>(nullptr, [&] { return mok::fxt::wrap_packet(packet->packet); });
}

extern "C" MOK_API void mok_fxt_packet_free(mok_fxt_packet_t* packet) {
  guarded(0, [&] {
    delete packet;
    return 0;
  });
}

// Getters read plain fields of a live handle and cannot fail past the null check.

extern "C" MOK_API uint32_t mok_fxt_packet_length(const mok_fxt_packet_t* packet) {
  return packet ? packet->packet->head.length : 0;
}
extern "C" MOK_API uint8_t mok_fxt_packet_flags(const mok_fxt_packet_t* packet) {
  return packet ? packet->packet->head.flags.bits : 0;
}
extern "C" MOK_API uint8_t mok_fxt_packet_kind(const mok_fxt_packet_t* packet) {
  return packet ? mok::fxt::to_code(packet->packet->head.kind) : mok::fxt::to_code(Kind::Unknown);
}
extern "C" MOK_API uint16_t mok_fxt_packet_stream_id(const mok_fxt_packet_t* packet) {
  return packet ? packet->packet->head.stream_id : 0;
}
extern "C" MOK_API uint64_t mok_fxt_packet_seq(const mok_fxt_packet_t* packet) {
  return packet ? packet->packet->head.seq : 0;
}
extern "C" MOK_API uint64_t mok_fxt_packet_ts(const mok_fxt_packet_t* packet) {
  return packet ? packet->packet->head.ts : 0;
}

extern "C" MOK_API bool mok_fxt_packet_get_head(const mok_fxt_packet_t* packet, mok_fxt_head_t* out) {
  if (!packet || !out) return false;
  *out = to_c(packet->packet->head);
  return true;
}

// Setters change the packet only through owned(): a shared packet is refused.

extern "C" MOK_API bool mok_fxt_packet_set_flags(mok_fxt_packet_t* packet, uint8_t flags) {
  Packet* p = owned(packet);
  if (!p) return false;
  p->head.flags = mok::fxt::Flags{flags};
  return true;
}

extern "C" MOK_API bool mok_fxt_packet_set_kind(mok_fxt_packet_t* packet, uint8_t kind) {
  Packet* p = owned(packet);
  if (!p || !kind_allowed(kind)) return false;
  p->head.kind = static_cast<Kind>(kind);
  return true;
}

extern "C" MOK_API bool mok_fxt_packet_set_stream_id(mok_fxt_packet_t* packet, uint16_t stream_id) {
  Packet* p = owned(packet);
  if (!p || !stream_allowed(stream_id)) return false;
  p->head.stream_id = stream_id;
  return true;
}

extern "C" MOK_API bool mok_fxt_packet_set_seq(mok_fxt_packet_t* packet, uint64_t seq) {
  Packet* p = owned(packet);
  if (!p) return false;
  p->head.seq = seq;
  return true;
}

extern "C" MOK_API bool mok_fxt_packet_set_ts(mok_fxt_packet_t* packet, uint64_t ts) {
  Packet* p = owned(packet);
  if (!p) return false;
  p->head.ts = ts;
  return true;
}

extern "C" MOK_API bool mok_fxt_packet_set_length(mok_fxt_packet_t* packet, uint32_t length) {
  Packet* p = owned(packet);
  if (!p || !length_allowed(length)) return false;
  return guarded(false, [&] {
    p->payload = resized(p->payload, length);
    p->head.length = length;
    return true;
  });
}

extern "C" MOK_API bool mok_fxt_packet_set_head(mok_fxt_packet_t* packet, const mok_fxt_head_t* head) {
  Packet* p = owned(packet);
  if (!p || !head) return false;
  if (!length_allowed(head->length) || !kind_allowed(head->kind) || !stream_allowed(head->stream_id)) {
    return false;
  }
  return guarded(false, [&] {
    p->payload = resized(p->payload, head->length);
    p->head = to_head(*head);
    return true;
  });
}

extern "C" MOK_API bool mok_fxt_packet_set_payload(mok_fxt_packet_t* packet, const uint8_t* bytes, uint32_t len) {
  Packet* p = owned(packet);
  if (!p || !length_allowed(len)) return false;
  if (!bytes) return len == 0;
  return guarded(false, [&] {
    *p = Packet::with_head(p->head, copy_payload(bytes, len));
    return true;
  });
}

extern "C" MOK_API uint32_t mok_fxt_packet_payload_len(const mok_fxt_packet_t* packet) {
  return packet ? saturate(packet->packet->payload.size()) : 0;
}

extern "C" MOK_API const uint8_t* mok_fxt_packet_payload_ptr(const mok_fxt_packet_t* packet, uint32_t* len_out) {
  const size_t n = packet ? packet->packet->payload.size() : 0;
  if (len_out) *len_out = saturate(n);
  return n ? packet->packet->payload.data() : nullptr;
}

extern "C" MOK_API size_t mok_fxt_packet_payload_copy(const mok_fxt_packet_t* packet, uint8_t* dst,
                                                      size_t dst_len) {
  if (!packet || !dst) return 0;
  const Bytes& payload = packet->packet->payload;
  const size_t n = std::min(payload.size(), dst_len);
  if (n) std::memcpy(dst, payload.data(), n);
  return n;
}

extern "C" MOK_API uint32_t mok_fxt_packet_wire_len(const mok_fxt_packet_t* packet) {
  return packet ? saturate(size_t{packet->packet->head.length} + mok::fxt::kHeadLen) : 0;
}

extern "C" MOK_API bool mok_fxt_packet_write_head_bytes(const mok_fxt_packet_t* packet, uint8_t* out,
                                                        size_t out_len) {
  if (!packet || !out || out_len < mok::fxt::kHeadLen) return false;
  packet->packet->head.write_to(out);
  return true;
}

extern "C" MOK_API size_t mok_fxt_packet_write_wire(const mok_fxt_packet_t* packet, uint8_t* out, size_t out_len) {
  if (!packet || !out) return 0;
  const Packet& p = *packet->packet;
  // A packet whose payload and length disagree (never built here) is refused
  // rather than letting either one decide how much we read.
  const size_t total = size_t{p.head.length} + mok::fxt::kHeadLen;
  if (out_len < total || p.payload.size() != p.head.length) return 0;
  p.head.write_to(out);
  if (!p.payload.empty()) std::memcpy(out + mok::fxt::kHeadLen, p.payload.data(), p.payload.size());
  return total;
}

extern "C" MOK_API bool mok_fxt_packet_try_parse_wire(const uint8_t* bytes, size_t len,
                                                      mok_fxt_packet_t** out_packet, size_t* out_consumed,
                                                      size_t* out_needed) {
  if (out_consumed) *out_consumed = 0;
  if (out_needed) *out_needed = 0;
  if (!bytes || !out_packet) return false;
  if (len < mok::fxt::kHeadLen) {
    if (out_needed) *out_needed = mok::fxt::kHeadLen;
    return false;
  }
  auto head = Head::parse({bytes, len});
  if (!head) return false;  // waiting cannot help: needed stays 0
  const size_t total = size_t{head->length} + mok::fxt::kHeadLen;
  if (len < total) {
    if (out_needed) *out_needed = total;
    return false;
  }
  mok_fxt_packet_t* h = guarded<mok_fxt_packet_t*>(nullptr, [&] {
    return wrap(Packet{*head, copy_payload(bytes + mok::fxt::kHeadLen, head->length)});
  });
  if (!h) return false;
  *out_packet = h;
  if (out_consumed) *out_consumed = total;
  if (out_needed) *out_needed = total;
  return true;
}

extern "C" MOK_API bool mok_fxt_head_parse(const uint8_t* bytes, size_t len, mok_fxt_head_t* out) {
  if (!bytes || !out) return false;
  auto head = Head::parse({bytes, len});
  if (!head) return false;
  *out = to_c(*head);
  return true;
}

extern "C" MOK_API bool mok_fxt_head_write_bytes(const mok_fxt_head_t* head, uint8_t* out, size_t out_len) {
  if (!head || !out || out_len < mok::fxt::kHeadLen) return false;
  to_head(*head).write_to(out);
  return true;
}

// The transport family's own documented version, independent of the library's.
constexpr char kTransportVersion[] = "1.1.6";

extern "C" MOK_API uint32_t mok_fxt_version_code(void) { return mok::pack_version(kTransportVersion, 16, 8); }

extern "C" MOK_API const char* mok_fxt_version_str(void) { return kTransportVersion; }

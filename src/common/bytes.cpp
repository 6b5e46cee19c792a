// Shared byte storage. A BytesMut block is written only past its held bytes,
// a region no Bytes view ever covers, so views cut earlier stay valid and
// unchanged while the connection keeps reading into the same block.
#include "common/bytes.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace mok {

Bytes::Bytes(std::vector<uint8_t>&& bytes) {
  if (bytes.empty()) return;
  auto owner = std::make_shared<std::vector<uint8_t>>(std::move(bytes));
  size_ = owner->size();
  const uint8_t* p = owner->data();
  data_ = std::shared_ptr<const uint8_t>(std::move(owner), p);
}

Bytes::Bytes(std::shared_ptr<const void> owner, const uint8_t* data, size_t len) noexcept
    : data_(len ? std::shared_ptr<const uint8_t>(std::move(owner), data) : nullptr), size_(len) {}

Bytes Bytes::copy_from(std::span<const uint8_t> bytes) {
  return Bytes(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

Bytes Bytes::slice(size_t offset, size_t len) const noexcept {
  offset = std::min(offset, size_);
  len = std::min(len, size_ - offset);
  Bytes out;
  if (len == 0) return out;
  out.data_ = std::shared_ptr<const uint8_t>(data_, data_.get() + offset);
  out.size_ = len;
  return out;
}

bool operator==(const Bytes& a, const Bytes& b) noexcept {
  return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data(), b.data(), a.size_) == 0);
}

BytesMut::BytesMut(size_t capacity) { reserve(capacity); }

void BytesMut::reserve(size_t additional) {
  if (cap_ - off_ - len_ >= additional) return;
  const bool sole = block_ && block_.use_count() == 1;
  if (sole) {
    // The last other holder's reads of the block must be over before bytes
    // move over them, so its release of the count has to be acquired here.
    // use_count() is a relaxed read; taking and dropping a reference is an
    // acquiring read-modify-write of the count, one a race detector
    // understands (unlike a lone fence, kept for the memory model's sake).
    { auto sync = block_; }
    std::atomic_thread_fence(std::memory_order_acquire);
    if (cap_ - len_ >= additional) {
      if (len_) std::memmove(block_.get(), block_.get() + off_, len_);
      off_ = 0;
      return;
    }
  }
  // A block still shared with cut payloads is replaced by one of the same
  // size when the held bytes fit; growth doubles only when they do not, so
  // consumers that keep packets do not inflate the buffer.
  const size_t need = len_ + additional;
  const size_t grown = need <= cap_ ? cap_ : std::max(need, cap_ * 2);
  std::shared_ptr<uint8_t[]> next(new uint8_t[grown]);
  if (len_) std::memcpy(next.get(), block_.get() + off_, len_);
  block_ = std::move(next);
  cap_ = grown;
  off_ = 0;
}

std::span<uint8_t> BytesMut::spare() noexcept {
  if (!block_) return {};
  return {block_.get() + off_ + len_, cap_ - off_ - len_};
}

void BytesMut::commit(size_t n) noexcept { len_ += std::min(n, cap_ - off_ - len_); }

void BytesMut::append(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  reserve(bytes.size());
  std::memcpy(block_.get() + off_ + len_, bytes.data(), bytes.size());
  len_ += bytes.size();
}

Bytes BytesMut::split_to(size_t n) noexcept {
  n = std::min(n, len_);
  Bytes out(block_, block_ ? block_.get() + off_ : nullptr, n);
  off_ += n;
  len_ -= n;
  return out;
}

Bytes BytesMut::take(size_t n) {
  n = std::min(n, len_);
  if (cap_ <= kShareLimit || cap_ / kPinFactor <= n) return split_to(n);
  Bytes out = Bytes::copy_from({block_.get() + off_, n});
  advance(n);
  return out;
}

void BytesMut::release_if_empty(size_t keep) noexcept {
  if (len_ != 0 || cap_ <= keep) return;
  block_.reset();
  cap_ = off_ = 0;
}

void BytesMut::advance(size_t n) noexcept {
  n = std::min(n, len_);
  off_ += n;
  len_ -= n;
}

void BytesMut::clear() noexcept {
  off_ += len_;
  len_ = 0;
}

}  // namespace mok

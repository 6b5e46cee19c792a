// Byte buffers shared without copying. Bytes is an immutable view that keeps
// its storage alive by an atomic reference; BytesMut is the receive buffer a
// connection reads into and from whose front the framer cuts payloads, each
// cut sharing the buffer's storage instead of copying it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace mok {

class Bytes {
 public:
  Bytes() noexcept = default;
  // Takes over the vector's storage; the bytes are not copied.
  explicit Bytes(std::vector<uint8_t>&& bytes);
  // Views `len` bytes at `data`, kept alive by `owner`.
  Bytes(std::shared_ptr<const void> owner, const uint8_t* data, size_t len) noexcept;

  static Bytes copy_from(std::span<const uint8_t> bytes);

  const uint8_t* data() const noexcept { return data_.get(); }
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::span<const uint8_t> span() const noexcept { return {data_.get(), size_}; }
  const uint8_t& operator[](size_t i) const noexcept { return data_.get()[i]; }

  // A view of [offset, offset + len) sharing this storage; clamped to the
  // bytes that exist.
  Bytes slice(size_t offset, size_t len) const noexcept;

  // References held on the storage (0 for an empty Bytes); for tests and
  // sole-owner decisions.
  long use_count() const noexcept { return data_.use_count(); }

  friend bool operator==(const Bytes& a, const Bytes& b) noexcept;

 private:
  std::shared_ptr<const uint8_t> data_;  // aliases the owning storage
  size_t size_ = 0;
};

class BytesMut {
 public:
  static constexpr size_t kConnectionCapacity = 8192;

  BytesMut() noexcept = default;
  explicit BytesMut(size_t capacity);

  size_t size() const noexcept { return len_; }
  bool empty() const noexcept { return len_ == 0; }
  const uint8_t* data() const noexcept { return block_ ? block_.get() + off_ : nullptr; }
  std::span<const uint8_t> span() const noexcept { return {data(), len_}; }
  // Bytes held plus the writable room after them.
  size_t capacity() const noexcept { return cap_ - off_; }

  // Makes room for at least `additional` bytes after the held ones. Moves the
  // held bytes (never those already cut off) into a new block when needed.
  void reserve(size_t additional);
  // The writable room after the held bytes; fill it, then commit().
  std::span<uint8_t> spare() noexcept;
  // Declares that the first `n` bytes of spare() now hold data.
  void commit(size_t n) noexcept;
  void append(std::span<const uint8_t> bytes);

  // Moves the first `n` bytes out as a shared Bytes without copying them.
  Bytes split_to(size_t n) noexcept;
  // As split_to, but a kept reference never pins much more than itself: the
  // bytes are shared when the block is at most kShareLimit or at most
  // kPinFactor times their size (the common case: small packets from a small
  // block, a large packet from the block grown for it, which doubling makes
  // up to about twice its size and more), and copied into their own
  // allocation otherwise (a small packet cut from a block grown large).
  Bytes take(size_t n);
  static constexpr size_t kShareLimit = 256 * 1024;
  static constexpr size_t kPinFactor = 4;
  // Lets go of the block when nothing is held and it is larger than
  // `keep`, so an idle connection does not keep the memory of its largest
  // packet; the next reserve allocates afresh.
  void release_if_empty(size_t keep) noexcept;
  // Drops the first `n` bytes.
  void advance(size_t n) noexcept;
  void clear() noexcept;

 private:
  std::shared_ptr<uint8_t[]> block_;
  size_t cap_ = 0;  // size of block_
  size_t off_ = 0;  // start of the held bytes in block_
  size_t len_ = 0;  // held bytes
};

}  // namespace mok

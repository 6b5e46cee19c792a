// Test-side encoder for scan-result payloads, written from the byte layout
// the camera uses so the decoder is checked against an independent writer.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace mok::test {

class ScanPayload {
 public:
  static constexpr std::size_t kHeader = 1216;

  // A valid payload with `points` zeroed point records, format 2, and a
  // declared length covering the whole payload.
  explicit ScanPayload(std::size_t points = 0, bool scaled = true) : b_(kHeader + 4 * points, 0) {
    b_[2] = 2;
    b_[3] = scaled ? 1 : 0;
    u16(1214, static_cast<std::uint16_t>(points));
    u16(34, static_cast<std::uint16_t>(b_.size() - 36));
  }

  ScanPayload& u8(std::size_t at, std::uint8_t v) {
    b_.at(at) = v;
    return *this;
  }
  ScanPayload& u16(std::size_t at, std::uint16_t v) {
    b_.at(at) = static_cast<std::uint8_t>(v);
    b_.at(at + 1) = static_cast<std::uint8_t>(v >> 8);
    return *this;
  }
  ScanPayload& i16(std::size_t at, std::int16_t v) { return u16(at, static_cast<std::uint16_t>(v)); }
  ScanPayload& u32(std::size_t at, std::uint32_t v) {
    u16(at, static_cast<std::uint16_t>(v));
    return u16(at + 2, static_cast<std::uint16_t>(v >> 16));
  }
  ScanPayload& i32(std::size_t at, std::int32_t v) { return u32(at, static_cast<std::uint32_t>(v)); }
  ScanPayload& f32(std::size_t at, float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    return u32(at, bits);
  }
  ScanPayload& u64(std::size_t at, std::uint64_t v) {
    u32(at, static_cast<std::uint32_t>(v));
    return u32(at + 4, static_cast<std::uint32_t>(v >> 32));
  }
  // A point record: z at +0, y at +2.
  ScanPayload& point(std::size_t at, std::uint16_t zr, std::uint16_t yr) { return u16(at, zr).u16(at + 2, yr); }
  ScanPayload& profile_point(std::size_t i, std::uint16_t zr, std::uint16_t yr) {
    return point(kHeader + 4 * i, zr, yr);
  }
  ScanPayload& seam_point(std::size_t k, std::uint16_t zr, std::uint16_t yr) { return point(58 + 4 * k, zr, yr); }
  ScanPayload& offsets(std::uint16_t oy, std::uint16_t oz) { return u16(46, oy).u16(48, oz); }
  static std::size_t segment_at(std::size_t k) { return 182 + 28 * k; }

  std::vector<std::uint8_t>& bytes() { return b_; }
  const std::vector<std::uint8_t>& bytes() const { return b_; }

 private:
  std::vector<std::uint8_t> b_;
};

}  // namespace mok::test

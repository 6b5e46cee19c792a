// Reading and writing recordings. The head is stored as raw wire bytes so a
// recording replays exactly what was received, including seq and ts; only its
// length field is interpreted here, to find the payload.
#include "recording.hpp"

#include <cerrno>
#include <cstring>
#include <utility>

namespace camsim {
namespace {

void put_u64le(std::vector<std::uint8_t>& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint64_t get_u64le(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::uint32_t head_length(const std::uint8_t* head) {
  return (std::uint32_t{head[0]} << 24) | (std::uint32_t{head[1]} << 16) | (std::uint32_t{head[2]} << 8) | head[3];
}

}  // namespace

void append_recording_header(std::vector<std::uint8_t>& out, std::uint64_t start_unix_us) {
  out.insert(out.end(), kRecordingMagic.begin(), kRecordingMagic.end());
  out.push_back(static_cast<std::uint8_t>(kRecordingVersion & 0xFF));
  out.push_back(static_cast<std::uint8_t>(kRecordingVersion >> 8));
  put_u64le(out, start_unix_us);
}

void append_recorded_packet(std::vector<std::uint8_t>& out, std::uint64_t time_us,
                            std::span<const std::uint8_t> head, std::span<const std::uint8_t> payload) {
  put_u64le(out, time_us);
  out.insert(out.end(), head.begin(), head.end());
  out.insert(out.end(), payload.begin(), payload.end());
}

mok::Result<Recording, std::string> parse_recording(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kRecordingHeaderLen ||
      std::memcmp(bytes.data(), kRecordingMagic.data(), kRecordingMagic.size()) != 0)
    return mok::err(std::string("not a recording (bad magic)"));
  const unsigned version = bytes[6] | (unsigned{bytes[7]} << 8);
  if (version != kRecordingVersion) return mok::err("unsupported recording version " + std::to_string(version));
  Recording rec;
  rec.start_unix_us = get_u64le(bytes.data() + 8);
  std::size_t pos = kRecordingHeaderLen;
  std::uint64_t last_time = 0;
  while (pos < bytes.size()) {
    const std::size_t left = bytes.size() - pos;
    if (left < 8 + mok::wire::kHeadLen) {
      rec.truncated = true;
      break;
    }
    const std::uint8_t* p = bytes.data() + pos;
    RecordedPacket pkt;
    pkt.time_us = get_u64le(p);
    std::memcpy(pkt.head.data(), p + 8, mok::wire::kHeadLen);
    const std::uint32_t len = head_length(pkt.head.data());
    if (len > mok::wire::kMaxLength)
      return mok::err("packet length " + std::to_string(len) + " too large at offset " + std::to_string(pos));
    if (pkt.time_us < last_time) return mok::err("time goes backwards at offset " + std::to_string(pos));
    if (left - 8 - mok::wire::kHeadLen < len) {
      rec.truncated = true;
      break;
    }
    pkt.payload.assign(p + 8 + mok::wire::kHeadLen, p + 8 + mok::wire::kHeadLen + len);
    last_time = pkt.time_us;
    rec.packets.push_back(std::move(pkt));
    pos += 8 + mok::wire::kHeadLen + len;
  }
  return rec;
}

mok::Result<Recording, std::string> read_recording_file(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return mok::err(path + ": " + std::strerror(errno));
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return mok::err(path + ": read error");
  return parse_recording(bytes);
}

mok::Result<RecordingWriter, std::string> RecordingWriter::create(const std::string& path,
                                                                  std::uint64_t start_unix_us) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return mok::err(path + ": " + std::strerror(errno));
  RecordingWriter w(f);
  append_recording_header(w.buf_, start_unix_us);
  if (std::fwrite(w.buf_.data(), 1, w.buf_.size(), f) != w.buf_.size()) return mok::err(path + ": write error");
  return w;
}

RecordingWriter::RecordingWriter(RecordingWriter&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)), buf_(std::move(other.buf_)) {}

RecordingWriter& RecordingWriter::operator=(RecordingWriter&& other) noexcept {
  if (this != &other) {
    if (file_) std::fclose(file_);
    file_ = std::exchange(other.file_, nullptr);
    buf_ = std::move(other.buf_);
  }
  return *this;
}

RecordingWriter::~RecordingWriter() {
  if (file_) std::fclose(file_);
}

mok::Result<void, std::string> RecordingWriter::write(std::uint64_t time_us, std::span<const std::uint8_t> head,
                                                      std::span<const std::uint8_t> payload) {
  if (!file_) return mok::err(std::string("recording closed"));
  if (head.size() != mok::wire::kHeadLen) return mok::err(std::string("a head is 24 bytes"));
  buf_.clear();
  append_recorded_packet(buf_, time_us, head, {});
  if (std::fwrite(buf_.data(), 1, buf_.size(), file_) != buf_.size() ||
      std::fwrite(payload.data(), 1, payload.size(), file_) != payload.size())
    return mok::err(std::string("write error"));
  return {};
}

mok::Result<void, std::string> RecordingWriter::close() {
  if (!file_) return {};
  const bool ok = std::fclose(std::exchange(file_, nullptr)) == 0;
  if (!ok) return mok::err(std::string("close failed"));
  return {};
}

}  // namespace camsim

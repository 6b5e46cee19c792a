// Recordings of a camera's packet stream (docs/recording-format.md): a 16-byte
// file header, then per packet its arrival time, 24-byte wire head and payload.
// The simulator replays them; recorders write them with RecordingWriter.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "common/wire.hpp"

namespace camsim {

inline constexpr std::array<std::uint8_t, 6> kRecordingMagic = {'M', 'O', 'K', 'R', 'E', 'C'};
inline constexpr std::uint16_t kRecordingVersion = 1;
inline constexpr std::size_t kRecordingHeaderLen = 16;

struct RecordedPacket {
  std::uint64_t time_us = 0;                             // since the start of the recording
  std::array<std::uint8_t, mok::wire::kHeadLen> head{};  // exactly as it was on the wire
  std::vector<std::uint8_t> payload;
};

struct Recording {
  std::uint64_t start_unix_us = 0;  // wall-clock start, 0 if unknown
  std::vector<RecordedPacket> packets;
  // Set when the file ends inside a packet (a recorder that was killed):
  // the complete packets before it are kept.
  bool truncated = false;
};

// Encoders for the header and one packet record (appended to `out`).
void append_recording_header(std::vector<std::uint8_t>& out, std::uint64_t start_unix_us);
void append_recorded_packet(std::vector<std::uint8_t>& out, std::uint64_t time_us,
                            std::span<const std::uint8_t> head, std::span<const std::uint8_t> payload);

// Parses a whole recording. Fails on a wrong magic or version, a head whose
// length field disagrees with the limits, or times that go backwards.
mok::Result<Recording, std::string> parse_recording(std::span<const std::uint8_t> bytes);
mok::Result<Recording, std::string> read_recording_file(const std::string& path);

// Appends records to a file as they come; flushes on close.
class RecordingWriter {
 public:
  static mok::Result<RecordingWriter, std::string> create(const std::string& path, std::uint64_t start_unix_us);
  RecordingWriter(RecordingWriter&& other) noexcept;
  RecordingWriter& operator=(RecordingWriter&& other) noexcept;
  ~RecordingWriter();

  mok::Result<void, std::string> write(std::uint64_t time_us, std::span<const std::uint8_t> head,
                                       std::span<const std::uint8_t> payload);
  mok::Result<void, std::string> close();

 private:
  explicit RecordingWriter(std::FILE* f) : file_(f) {}
  std::FILE* file_ = nullptr;
  std::vector<std::uint8_t> buf_;
};

}  // namespace camsim

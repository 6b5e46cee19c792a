// The two pieces of the simulator mokctl uses (the demo camera and the
// recording file writer), behind a shared object of their own. The simulator
// carries private copies of libmok's internals; kept inside that object with
// a version script, none of them can shadow libmok's exported functions.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#define MOKCTL_SIM_API __attribute__((visibility("default")))

namespace mokctl::sim {

class MOKCTL_SIM_API DemoCamera {
 public:
  // Starts an emulated camera on a free loopback port with the laser off,
  // with live video when `video` is set. Null and `error` set on failure.
  static std::unique_ptr<DemoCamera> start(bool video, std::string& error);
  virtual ~DemoCamera();
  virtual std::uint16_t port() const = 0;
};

class MOKCTL_SIM_API RecordingFile {
 public:
  // Creates `path` with the recording header; null and `error` set on failure.
  static std::unique_ptr<RecordingFile> create(const std::string& path, std::uint64_t start_unix_us,
                                               std::string& error);
  virtual ~RecordingFile();
  // One packet: arrival time since the start, its 24 head bytes and payload.
  virtual bool write(std::uint64_t time_us, const std::uint8_t* head, const std::uint8_t* payload,
                     std::size_t payload_len, std::string& error) = 0;
  virtual bool close(std::string& error) = 0;
  // Reads the recording at `path` into `wire`: every packet's head and
  // payload one after another, as they came over the connection. False and
  // `error` set when the file is not a recording; true with `error` set when
  // its last packet was cut off (the whole ones are read).
  static bool read_wire(const std::string& path, std::vector<std::uint8_t>& wire, std::string& error);
};

}  // namespace mokctl::sim

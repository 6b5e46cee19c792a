// The simulator side of sim_bridge.hpp, built into libmokctl_sim.so.
#include "sim_bridge.hpp"

#include <span>

#include "sim/recording.hpp"
#include "sim/simulator.hpp"

namespace mokctl::sim {
namespace {

class Camera final : public DemoCamera {
 public:
  explicit Camera(camsim::Options o) : sim_(std::move(o)) {}
  ~Camera() override { sim_.stop(); }
  mok::Result<std::uint16_t, std::string> start() { return sim_.start(); }
  std::uint16_t port() const override { return sim_.port(); }

 private:
  camsim::Simulator sim_;
};

class File final : public RecordingFile {
 public:
  explicit File(camsim::RecordingWriter w) : w_(std::move(w)) {}
  bool write(std::uint64_t time_us, const std::uint8_t* head, const std::uint8_t* payload, std::size_t payload_len,
             std::string& error) override {
    auto r = w_.write(time_us, std::span<const std::uint8_t>(head, mok::wire::kHeadLen),
                      std::span<const std::uint8_t>(payload, payload ? payload_len : 0));
    if (!r.ok()) error = r.error();
    return r.ok();
  }
  bool close(std::string& error) override {
    auto r = w_.close();
    if (!r.ok()) error = r.error();
    return r.ok();
  }

 private:
  camsim::RecordingWriter w_;
};

}  // namespace

DemoCamera::~DemoCamera() = default;
RecordingFile::~RecordingFile() = default;

std::unique_ptr<DemoCamera> DemoCamera::start(bool video, std::string& error) {
  camsim::Options o;
  o.port = 0;
  o.scan_rate = 200;
  o.device.laser_enable = false;
  if (video) o.video = camsim::VideoConfig{};
  auto cam = std::make_unique<Camera>(o);
  auto r = cam->start();
  if (!r.ok()) {
    error = r.error();
    return nullptr;
  }
  return cam;
}

std::unique_ptr<RecordingFile> RecordingFile::create(const std::string& path, std::uint64_t start_unix_us,
                                                     std::string& error) {
  auto w = camsim::RecordingWriter::create(path, start_unix_us);
  if (!w.ok()) {
    error = w.error();
    return nullptr;
  }
  return std::make_unique<File>(std::move(*w));
}

bool RecordingFile::read_wire(const std::string& path, std::vector<std::uint8_t>& wire, std::string& error) {
  auto rec = camsim::read_recording_file(path);
  if (!rec.ok()) {
    error = rec.error();
    return false;
  }
  // A recording cut off by a crash keeps its whole packets.
  if (rec->truncated) error = "the recording ends in the middle of a packet, which is left out";
  for (const auto& p : rec->packets) {
    wire.insert(wire.end(), p.head.begin(), p.head.end());
    wire.insert(wire.end(), p.payload.begin(), p.payload.end());
  }
  return true;
}

}  // namespace mokctl::sim

// The simulator side of demo_camera.hpp, built into libmokctl_sim.so.
#include "demo_camera.hpp"

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

}  // namespace

DemoCamera::~DemoCamera() = default;

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

}  // namespace mokctl::sim

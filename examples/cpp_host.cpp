// Minimal C++ host through mok.hpp: connect, follow state and scan results,
// read and write a parameter, take a snapshot. Usage: cpp_host ADDRESS
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include <mok/mok.hpp>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s ADDRESS\n", argv[0]);
    return 2;
  }
  std::atomic<unsigned> count{0};
  try {
    auto cam = mok::Client::connect(argv[1]);
    cam.on_state([](mok::State s) { std::printf("state %s\n", mok::state_name(s)); });
    cam.on_scan([&count](mok::ScanResult r) {
      if (++count % 100 == 1) {
        if (auto seam = r.seam_point()) {
          std::printf("result %u: %zu points, seam at y %.2f z %.2f\n", count.load(), r.points().size(), seam->y,
                      seam->z);
        }
      }
    });  // r frees its handle when it goes out of scope
    cam.start();
    cam.wait_params(std::chrono::seconds(5));
    std::printf("board id %s\n", cam.board_id().value_or("(none)").c_str());
    if (auto e = cam.exposure_time()) std::printf("exposure time %u\n", *e);
    cam.set_laser_enable(true);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("%u scan results in about a second\n", count.load());

    cam.snapshot(MOK_IMAGE_JPEG);
    auto image = cam.recv_snapshot_image(std::chrono::seconds(5));
    if (!image) {
      std::fprintf(stderr, "no snapshot\n");
      return 1;
    }
    std::printf("snapshot: %s, %zu bytes\n", image->extension(), image->data().size());
  } catch (const mok::Error& e) {  // the client's destructor has cleared the callbacks
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return count > 0 ? 0 : 1;
}

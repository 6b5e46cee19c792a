#include "video_support.hpp"

#include <cmath>
#include <string>
#include <thread>

#include "brelo/client.hpp"
#include "brelo/video.hpp"
#include "common/wire.hpp"
#include "ffi/handles.hpp"
#include "support/eventually.hpp"

namespace mok::test {

std::vector<test::AccessUnit> encode(test::VideoCodec codec, int frames) {
  std::string why;
  auto units = test::encode_pattern(codec, kSourceWidth, kSourceHeight, frames, &why);
  if (units.empty()) ADD_FAILURE() << "test encoder: " << why;
  return units;
}

double difference_to_source(const mok_video_frame_t* frame, const test::RgbImage& source) {
  const std::uint8_t* plane = mok_video_frame_data(frame, 0);
  const int stride = mok_video_frame_linesize(frame, 0);
  const int width = mok_video_frame_width(frame);
  const int height = mok_video_frame_height(frame);
  if (plane == nullptr || width * 4 != source.width || height * 4 != source.height || stride < width * 4) {
    return -1.0;
  }
  double total = 0;
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* row = plane + static_cast<std::ptrdiff_t>(y) * stride;
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < 3; ++c) {
        int sum = 0;
        for (int dy = 0; dy < 4; ++dy)
          for (int dx = 0; dx < 4; ++dx) sum += source.at(x * 4 + dx, y * 4 + dy, c);
        total += std::abs(row[x * 4 + c] - sum / 16.0);
      }
    }
  }
  return total / (width * height * 3.0);
}

void VideoTest::SetUp() {
  h = mok_connect(cam.address().c_str());
  ASSERT_NE(h, nullptr);
  // The tests encode pictures while connected and the camera is silent
  // meanwhile: under an emulator that outlasts the default inactivity
  // time-out, which these tests are not about.
  ASSERT_EQ(mok_set_timing(h, 0, 0, 300000, 0), MOK_OK);
  ASSERT_EQ(mok_start(h), MOK_OK);
  ASSERT_TRUE(cam.wait_accepted());
  // A write goes through once the connection is up; the camera drops it.
  ASSERT_TRUE(eventually([&] { return mok_set_task_id(h, 0) == MOK_OK; }, kWait))
      << "the connection never came up";
  ASSERT_TRUE(cam.next_packet());
}

void VideoTest::TearDown() { close(); }

void VideoTest::close() {
  if (h == nullptr) return;
  mok_close(h);
  h = nullptr;
}

void VideoTest::settle() {
  barrier();
  // The decoding thread lets go of each packet once it has decoded (or
  // refused) it and sent its frame on.
  const auto caught_up = [&] {
    auto& slot = h->client->inner()->video;
    std::lock_guard lock(slot.mutex);
    return !slot.value || slot.value->backlog->packets.load() == 0;
  };
  ASSERT_TRUE(eventually(caught_up, std::chrono::seconds(20))) << "the decoder never caught up";
}

void VideoTest::barrier() {
  ASSERT_NE(h, nullptr);
  auto& counter = h->client->inner()->report_count;
  const auto reports = [&] {
    std::lock_guard lock(counter.mutex);
    return counter.value;
  };
  const std::uint64_t before = reports();
  ASSERT_TRUE(cam.send_report(reg_u32(wire::reg::kExposureTime, 100)));
  ASSERT_TRUE(eventually([&] { return reports() != before; }, kWait)) << "the report never arrived";
}

void VideoTest::send_units(const std::vector<test::AccessUnit>& units, std::uint8_t kind, std::uint16_t stream) {
  for (const auto& au : units) ASSERT_TRUE(cam.send(kind, stream, au));
}

}  // namespace mok::test

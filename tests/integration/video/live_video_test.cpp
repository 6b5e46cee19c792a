// The live video path end to end: a fake camera streams H.264/H.265 that the
// test encoded itself, the client decodes it with the stand-in decoder
// library found next to this executable, and the host side reads the frames
// through the C interface only.
#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "brelo/client.hpp"
#include "ffi/handles.hpp"
#include "mok/mok_log.h"
#include "support/eventually.hpp"
#include "video_support.hpp"

namespace mok::test {
namespace {

using test::VideoCodec;

constexpr int kFrames = 24;

struct StreamCase {
  VideoCodec codec;
  std::uint8_t kind;
};

class LiveVideoStream : public VideoTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(LiveVideoStream, EveryFrameArrivesAsQuarterSizeRgbaMatchingTheSource) {
  const auto units = encode(GetParam().codec, kFrames);
  ASSERT_EQ(units.size(), static_cast<std::size_t>(kFrames));
  mok_set_video_cb(h, &FrameSink::on_frame, &sink);
  ASSERT_EQ(mok_enable_video(h), MOK_OK);
  send_units(units, GetParam().kind);
  barrier();
  ASSERT_TRUE(sink.wait_for(units.size()));
  // Every frame is in: switching off now discards nothing.
  ASSERT_EQ(mok_disable_video(h), MOK_OK);
  const auto frames = sink.frames();
  ASSERT_EQ(frames.size(), units.size());

  // Read after video is off: the handles keep their frames.
  for (std::size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    const mok_video_frame_t* f = frames[i];
    EXPECT_EQ(mok_video_frame_format(f), MOK_PIXEL_FORMAT_RGBA);
    EXPECT_EQ(mok_video_frame_width(f), kSourceWidth / 4);
    EXPECT_EQ(mok_video_frame_height(f), kSourceHeight / 4);
    EXPECT_GE(mok_video_frame_linesize(f, 0), kSourceWidth / 4 * 4);
    // Packed RGBA has one plane.
    EXPECT_EQ(mok_video_frame_data(f, 1), nullptr);
    EXPECT_EQ(mok_video_frame_linesize(f, 1), 0);
    const test::RgbImage source = test::moving_pattern(kSourceWidth, kSourceHeight, static_cast<int>(i));
    const double diff = difference_to_source(f, source);
    EXPECT_GE(diff, 0.0);
    EXPECT_LT(diff, 4.0);
    EXPECT_EQ(mok_video_frame_data(f, 0)[3], 255);  // opaque alpha

    mok_video_frame_info_t info;
    std::memset(&info, 0xAB, sizeof info);
    ASSERT_EQ(mok_video_frame_get_info(f, &info), MOK_OK);
    EXPECT_EQ(info.data[0], mok_video_frame_data(f, 0));
    EXPECT_EQ(info.data[1], nullptr);
    EXPECT_EQ(info.linesize[0], mok_video_frame_linesize(f, 0));
    EXPECT_EQ(info.format, MOK_PIXEL_FORMAT_RGBA);
    EXPECT_EQ(info.width, mok_video_frame_width(f));
    EXPECT_EQ(info.height, mok_video_frame_height(f));
    EXPECT_EQ(info.pts, mok_video_frame_pts(f));
  }

  // Plane indexes stop at 7, and get_info needs somewhere to write.
  EXPECT_EQ(mok_video_frame_data(frames[0], 8), nullptr);
  EXPECT_EQ(mok_video_frame_linesize(frames[0], 8), 0);
  EXPECT_EQ(mok_video_frame_data(frames[0], UINT32_MAX), nullptr);
  EXPECT_EQ(mok_video_frame_get_info(frames[0], nullptr), MOK_ERR_INVALID_ARGUMENT);

  // And after the client is gone.
  close();
  const test::RgbImage last = test::moving_pattern(kSourceWidth, kSourceHeight, kFrames - 1);
  const double diff = difference_to_source(frames.back(), last);
  EXPECT_GE(diff, 0.0);
  EXPECT_LT(diff, 4.0);
  sink.free_all();
}

INSTANTIATE_TEST_SUITE_P(Codecs, LiveVideoStream,
                         ::testing::Values(StreamCase{VideoCodec::H264, kKindVideoH264},
                                           StreamCase{VideoCodec::H265, kKindVideoH265}),
                         [](const auto& p) { return p.param.codec == VideoCodec::H264 ? "H264" : "H265"; });

using LiveVideo = VideoTest;

// Each kind change reconfigures the decoder: without it the second stream
// would go to the first stream's decoder and yield nothing.
TEST_F(LiveVideo, KindChangesWithinAStreamSwitchTheDecoder) {
  const auto h264 = encode(VideoCodec::H264, 8);
  const auto h265 = encode(VideoCodec::H265, 8);
  ASSERT_FALSE(h264.empty());
  ASSERT_FALSE(h265.empty());
  mok_set_video_cb(h, &FrameSink::on_frame, &sink);
  ASSERT_EQ(mok_enable_video(h), MOK_OK);
  send_units(h264, kKindVideoH264, 3);
  send_units(h265, kKindVideoH265, 9);
  send_units(h264, kKindVideoH264, 3);
  settle();
  ASSERT_EQ(mok_disable_video(h), MOK_OK);
  const auto frames = sink.frames();
  ASSERT_EQ(frames.size(), h264.size() * 2 + h265.size());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const int picture = static_cast<int>(i % 8);
    EXPECT_LT(difference_to_source(frames[i], test::moving_pattern(kSourceWidth, kSourceHeight, picture)), 4.0)
        << "frame " << i;
  }
}

TEST_F(LiveVideo, OffDropsPacketsAndOnOffCanRepeat) {
  const auto units = encode(VideoCodec::H264, 6);
  ASSERT_FALSE(units.empty());
  mok_set_video_cb(h, &FrameSink::on_frame, &sink);

  // Off: nothing is decoded, and switching off again is harmless.
  send_units(units, kKindVideoH264);
  barrier();
  EXPECT_EQ(mok_disable_video(h), MOK_OK);
  EXPECT_EQ(sink.count(), 0u);

  // On twice is on once.
  ASSERT_EQ(mok_enable_video(h), MOK_OK);
  ASSERT_EQ(mok_enable_video(h), MOK_OK);
  send_units(units, kKindVideoH264);
  settle();
  ASSERT_EQ(mok_disable_video(h), MOK_OK);
  EXPECT_EQ(sink.count(), units.size());

  // A null callback clears: frames decoded meanwhile are dropped.
  mok_set_video_cb(h, nullptr, &sink);
  ASSERT_EQ(mok_enable_video(h), MOK_OK);
  send_units(units, kKindVideoH264);
  settle();
  ASSERT_EQ(mok_disable_video(h), MOK_OK);
  EXPECT_EQ(sink.count(), units.size());

  // A fresh enable after the kind of the last session: the new service is
  // configured again by its first packet.
  auto h265 = encode(VideoCodec::H265, 6);
  mok_set_video_cb(h, &FrameSink::on_frame, &sink);
  ASSERT_EQ(mok_enable_video(h), MOK_OK);
  send_units(h265, kKindVideoH265);
  settle();
  ASSERT_EQ(mok_disable_video(h), MOK_OK);
  EXPECT_EQ(sink.count(), units.size() + h265.size());
}

TEST_F(LiveVideo, ClearingTheCallbackStopsDeliveryButNotDecoding) {
  const auto units = encode(VideoCodec::H265, 10);
  ASSERT_FALSE(units.empty());
  mok_set_video_cb(h, &FrameSink::on_frame, &sink);
  ASSERT_EQ(mok_enable_video(h), MOK_OK);
  send_units(units, kKindVideoH265);
  ASSERT_TRUE(sink.wait_for(units.size()));
  mok_clear_video_cb(h);
  // Once clear returns, no call is running or will come.
  const std::size_t seen = sink.count();
  send_units(units, kKindVideoH265);
  barrier();
  ASSERT_EQ(mok_disable_video(h), MOK_OK);
  EXPECT_EQ(sink.count(), seen);
}

// Closing with video on switches it off first: frames already decoded are
// delivered before mok_close returns (what is still queued is discarded),
// none after.
TEST_F(LiveVideo, CloseDeliversWhatWasReceivedThenGoesQuiet) {
  const auto units = encode(VideoCodec::H264, 12);
  ASSERT_FALSE(units.empty());
  mok_set_video_cb(h, &FrameSink::on_frame, &sink);
  ASSERT_EQ(mok_enable_video(h), MOK_OK);
  send_units(units, kKindVideoH264);
  settle();
  close();
  EXPECT_EQ(sink.count(), units.size());
  // The camera streams on until it sees the connection gone; nothing of it
  // reaches the host.
  ASSERT_TRUE(eventually([&] { return !cam.send(kKindVideoH264, 7, units.front()); }));
  EXPECT_EQ(sink.count(), units.size());
  // The frames outlive the client.
  EXPECT_LT(difference_to_source(sink.frames().back(), test::moving_pattern(kSourceWidth, kSourceHeight,
                                                                            static_cast<int>(units.size()) - 1)),
            4.0);
}

// Not allowed by the interface's rules, but a host that does it anyway must
// not hang or crash: the video thread cannot join itself, so it is left to
// drain the service's channel without delivering and end on its own.
TEST_F(LiveVideo, DisablingFromTheVideoCallbackNeitherHangsNorCrashes) {
  const auto units = encode(VideoCodec::H264, 6);
  ASSERT_FALSE(units.empty());
  auto client = h->client;
  std::atomic<int> calls{0};
  std::atomic<bool> disabled{false};
  client->set_video_cb([&](media::SharedFrame) {
    if (calls.fetch_add(1) == 0) {
      client->disable_video();
      disabled = true;
    }
  });
  ASSERT_TRUE(client->enable_video().ok());
  send_units(units, kKindVideoH264);
  barrier();
  ASSERT_TRUE(eventually([&] { return disabled.load(); }, std::chrono::seconds(20)));
  {
    std::lock_guard lock(client->inner()->video.mutex);
    EXPECT_EQ(client->inner()->video.value, nullptr);
  }
  // Clearing waits for a running call, so `calls` and `disabled` may go.
  client->clear_video_cb();
  // The abandoned thread hands nothing more to anyone, this session's
  // callback or the next one's.
  EXPECT_EQ(calls.load(), 1);
  // Video can come back on.
  mok_set_video_cb(h, &FrameSink::on_frame, &sink);
  ASSERT_EQ(mok_enable_video(h), MOK_OK);
  send_units(units, kKindVideoH264);
  settle();
  ASSERT_EQ(mok_disable_video(h), MOK_OK);
  EXPECT_EQ(sink.count(), units.size());
}

struct LogCounter {
  std::mutex m;
  int decode_failures = 0;
  static void on_record(int32_t level, const char* target, const char* message, void* user) {
    auto* self = static_cast<LogCounter*>(user);
    if (level == MOK_LOG_ERROR && std::string(target) == "mok_media::video_decode_service" &&
        std::string(message).starts_with("Failed to decode frame")) {
      std::lock_guard lock(self->m);
      ++self->decode_failures;
    }
  }
};

// Garbage, truncated and start-code-only packets of both kinds are reported
// by the decoding service and change nothing for the stream that follows.
// (Payloads stay at 4 bytes or more: shorter packets are a framing error
// that ends the connection.)
TEST_F(LiveVideo, DamagedPacketsDoNotHarmTheStreamThatFollows) {
  const auto units = encode(VideoCodec::H264, 10);
  const auto h265 = encode(VideoCodec::H265, 4);
  ASSERT_FALSE(units.empty());
  ASSERT_FALSE(h265.empty());
  LogCounter log;
  mok_log_set_callback(&LogCounter::on_record, MOK_LOG_ERROR, &log);
  mok_set_video_cb(h, &FrameSink::on_frame, &sink);
  ASSERT_EQ(mok_enable_video(h), MOK_OK);

  std::mt19937 rng(20240611);
  for (int i = 0; i < 30; ++i) {
    std::vector<std::uint8_t> garbage(4 + rng() % 4000);
    for (auto& b : garbage) b = static_cast<std::uint8_t>(rng());
    ASSERT_TRUE(cam.send(i % 2 ? kKindVideoH264 : kKindVideoH265, 7, garbage));
  }
  // Cut pictures: a key frame's first half, then later pictures without it.
  for (std::size_t i = 0; i < h265.size(); ++i) {
    const auto& au = h265[i];
    const std::vector<std::uint8_t> half(au.begin(), au.begin() + static_cast<std::ptrdiff_t>(au.size() / 2));
    ASSERT_TRUE(cam.send(kKindVideoH265, 7, i == 0 ? half : au));
  }
  ASSERT_TRUE(cam.send(kKindVideoH264, 7, std::vector<std::uint8_t>{0, 0, 0, 1}));
  // What the damaged pictures yield (if anything) is the decoder's business;
  // the clean stream's frames are the last ones delivered.

  send_units(units, kKindVideoH264);
  settle();
  ASSERT_EQ(mok_disable_video(h), MOK_OK);
  mok_log_set_callback(nullptr, MOK_LOG_ERROR, nullptr);
  {
    std::lock_guard lock(log.m);
    EXPECT_GT(log.decode_failures, 0);
  }
  const auto frames = sink.frames();
  ASSERT_GE(frames.size(), units.size());
  const std::size_t first = frames.size() - units.size();
  for (std::size_t i = 0; i < units.size(); ++i) {
    EXPECT_LT(difference_to_source(frames[first + i],
                                   test::moving_pattern(kSourceWidth, kSourceHeight, static_cast<int>(i))),
              4.0)
        << "frame " << i;
  }
}

TEST(LiveVideoNull, EveryVideoFunctionRefusesNull) {
  mok_video_frame_info_t info;
  std::memset(&info, 0x5A, sizeof info);
  const mok_video_frame_info_t untouched = info;
  EXPECT_EQ(mok_enable_video(nullptr), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_disable_video(nullptr), MOK_ERR_INVALID_ARGUMENT);
  mok_set_video_cb(nullptr, &FrameSink::on_frame, nullptr);
  mok_set_video_cb(nullptr, nullptr, nullptr);
  mok_clear_video_cb(nullptr);
  EXPECT_EQ(mok_video_frame_data(nullptr, 0), nullptr);
  EXPECT_EQ(mok_video_frame_linesize(nullptr, 0), 0);
  EXPECT_EQ(mok_video_frame_format(nullptr), -1);
  EXPECT_EQ(mok_video_frame_width(nullptr), 0);
  EXPECT_EQ(mok_video_frame_height(nullptr), 0);
  EXPECT_EQ(mok_video_frame_pts(nullptr), 0);
  EXPECT_EQ(mok_video_frame_get_info(nullptr, &info), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(mok_video_frame_get_info(nullptr, nullptr), MOK_ERR_INVALID_ARGUMENT);
  EXPECT_EQ(std::memcmp(&info, &untouched, sizeof info), 0);
  mok_video_frame_free(nullptr);
}

}  // namespace
}  // namespace mok::test

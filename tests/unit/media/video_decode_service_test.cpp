// The decoding service against the scripted library: configuration checks,
// the command table, stream and file decoding, statistics, the real-time
// rule and the thread's end. Each test ends by waiting for the decoding
// thread to finish, so no thread outlives its test.
#include "media/video_decode_service.hpp"

#include <optional>

#include <gtest/gtest.h>

#include "media_test_support.hpp"

namespace mok::media {
namespace {

namespace ev = video_event;
using test::all_of;
using test::drain_until_closed;
using test::FakeLibrary;
using test::LogCapture;
using test::packet;
using test::sync;

// A running service over the scripted library with its event receiver.
struct Running {
  FakeLibrary fake;
  std::optional<VideoDecodeService> service;
  std::optional<Receiver<VideoEvent>> events;

  explicit Running(const VideoDecodeServiceConfig& config = {}) {
    auto created = VideoDecodeService::with_config(fake.library, config);
    if (!created) {
      ADD_FAILURE() << created.error().text();
      return;
    }
    service.emplace(std::move(created.value()));
    events.emplace(service->events());
  }
  std::vector<VideoEvent> sync() { return test::sync(*service, *events); }
  // Releases the service and returns what the thread still sent.
  std::vector<VideoEvent> finish() {
    service.reset();
    return drain_until_closed(*events);
  }
  ev::StatsReply stats() {
    auto replies = all_of<ev::StatsReply>(sync());
    return replies.empty() ? ev::StatsReply{} : replies.back();
  }
  std::vector<std::string> failures(const std::vector<VideoEvent>& seen) {
    std::vector<std::string> out;
    for (const auto& f : all_of<ev::Failure>(seen)) out.push_back(f.message);
    return out;
  }
  ~Running() {
    if (service) finish();
  }
};

TEST(VideoDecodeServiceConfig, InvalidValuesAreRefusedInOrderWithTheirTexts) {
  FakeLibrary fake;
  VideoDecodeServiceConfig c;
  c.output_scale = 0.0f;
  c.decode_time_samples = 0;
  auto r = VideoDecodeService::with_config(fake.library, c);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "output_scale must be positive, got 0");
  c.output_scale = 0.5f;
  r = VideoDecodeService::with_config(fake.library, c);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "decode_time_samples must be at least 1");
  c.decode_time_samples = 1;
  c.file_decode_max_fps = -2.5;
  r = VideoDecodeService::with_config(fake.library, c);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text(), "file_decode_max_fps must be positive, got -2.5");
}

TEST(VideoDecodeService, StartConfiguresTheDecoderOnceAndIgnoresADuplicate) {
  LogCapture logs;
  Running r;
  r.service->start();
  r.service->start();
  auto events = r.sync();
  EXPECT_EQ(all_of<ev::Started>(events).size(), 1u);
  EXPECT_EQ(r.fake.control->decoders_made, 1);
  EXPECT_EQ(r.fake.control->last_oformat, 26);
  EXPECT_FLOAT_EQ(r.fake.control->last_oscale, 0.25f);
  EXPECT_TRUE(logs.has(MOK_LOG_WARN, "Decoder already started, ignoring duplicate start request"));
  for (const auto& rec : logs.records()) EXPECT_EQ(rec.target, "mok_media::video_decode_service");
}

TEST(VideoDecodeService, FailingStartReleasesTheNewDecoderAndReportsTheStep) {
  LogCapture logs;
  Running r;
  r.fake.control->set_oscale_status = 1;
  r.service->start();
  r.service->decode_bytes_arced(packet({1}));
  auto events = r.sync();
  EXPECT_EQ(r.failures(events), std::vector<std::string>{"Failed to set output scale: NeedMore"});
  r.fake.control->set_oscale_status = 0;
  r.fake.control->set_oformat_status = 9;
  r.service->start();
  events = r.sync();
  EXPECT_EQ(r.failures(events), std::vector<std::string>{"Failed to set output format: Error"});
  EXPECT_TRUE(logs.has(MOK_LOG_ERROR, "Failed to set output scale: NeedMore"));
  EXPECT_EQ(r.fake.control->decoders_made, 2);
  EXPECT_EQ(r.fake.control->decoders_freed, 2);
  EXPECT_EQ(r.fake.control->decode_calls, 0);
  EXPECT_TRUE(all_of<ev::Started>(events).empty());
}

TEST(VideoDecodeService, StreamFramesArriveInOrderAndStatisticsCount) {
  Running r;
  r.service->start();
  for (uint8_t i = 1; i <= 3; ++i) r.service->decode_bytes_arced(packet({i, 0xff}));
  auto events = r.sync();
  auto frames = all_of<ev::Frame>(events);
  ASSERT_EQ(frames.size(), 3u);
  for (int64_t i = 0; i < 3; ++i) EXPECT_EQ(frames[i].frame->get_info()->pts, i + 1);
  const auto stats = all_of<ev::StatsReply>(events).back();
  EXPECT_EQ(stats.frames_decoded, 3u);
  EXPECT_EQ(stats.frames_dropped, 0u);
}

TEST(VideoDecodeService, FailedDecodeIsReportedAndCountedAsDropped) {
  LogCapture logs;
  Running r;
  r.service->start();
  r.fake.control->decode_status = 1;
  r.service->decode_bytes_arced(packet({1}));
  auto events = r.sync();
  EXPECT_EQ(r.failures(events), std::vector<std::string>{"Decoding failed: NeedMore"});
  EXPECT_TRUE(logs.has(MOK_LOG_ERROR, "Failed to decode frame: NeedMore"));
  EXPECT_EQ(all_of<ev::StatsReply>(events).back().frames_dropped, 1u);
}

TEST(VideoDecodeService, StopClosesTheFileOnceWhileStreamingAndTwiceWhileReadingAFile) {
  Running r;
  r.service->post(ev::Stop{});
  r.service->start();
  r.service->decode_bytes_arced(packet({1}));
  r.service->post(ev::Stop{});
  auto events = r.sync();
  EXPECT_EQ(all_of<ev::Stopped>(events).size(), 1u);
  EXPECT_EQ(r.fake.control->close_file_calls, 1);
  EXPECT_EQ(r.fake.control->decoders_freed, 1);
  EXPECT_EQ(all_of<ev::StatsReply>(events).back().frames_decoded, 0u);

  r.fake.control->file_frames = 1000;
  r.fake.control->file_frame_rate = 1.0;
  r.service->start();
  r.service->post(ev::DecodeFile{"/videos/a.mkv"});
  r.service->post(ev::Stop{});
  events = r.sync();
  EXPECT_EQ(r.fake.control->close_file_calls, 3);
}

TEST(VideoDecodeService, FlushWithAFailingLibraryCallStillResetsStatistics) {
  Running r;
  r.service->post(ev::Flush{});
  r.service->start();
  r.service->decode_bytes_arced(packet({1}));
  r.service->decode_bytes_arced(packet({2}));
  EXPECT_EQ(r.stats().frames_decoded, 2u);
  r.fake.control->flush_status = -3;
  r.service->post(ev::Flush{});
  auto events = r.sync();
  EXPECT_EQ(r.failures(events), std::vector<std::string>{"Failed to flush decoder: Error"});
  EXPECT_EQ(all_of<ev::StatsReply>(events).back().frames_decoded, 0u);
  EXPECT_EQ(r.fake.control->flush_calls, 1);
}

TEST(VideoDecodeService, PausedDataIsDroppedWithoutCounting) {
  Running r;
  r.service->post(ev::Resume{});
  r.service->post(ev::Pause{});  // no decoder needed
  r.service->start();            // and a start clears it
  r.service->post(ev::Pause{});
  r.service->post(ev::Pause{});
  r.service->decode_bytes_arced(packet({1}));
  auto events = r.sync();
  EXPECT_EQ(all_of<ev::Paused>(events).size(), 2u);
  EXPECT_EQ(r.fake.control->decode_calls, 0);
  const auto stats = all_of<ev::StatsReply>(events).back();
  EXPECT_EQ(stats.frames_decoded, 0u);
  EXPECT_EQ(stats.frames_dropped, 0u);

  r.service->post(ev::Resume{});
  r.service->decode_bytes_arced(packet({2}));
  events = r.sync();
  EXPECT_EQ(all_of<ev::Resumed>(events).size(), 1u);
  EXPECT_EQ(all_of<ev::Frame>(events).size(), 1u);
}

TEST(VideoDecodeService, SeekOutsideFileDecodingIsRefused) {
  LogCapture logs;
  Running r;
  r.service->start();
  r.service->post(ev::Seek{4});
  auto events = r.sync();
  EXPECT_EQ(r.failures(events), std::vector<std::string>{"Cannot seek: not decoding a file"});
  EXPECT_TRUE(logs.has(MOK_LOG_WARN, "Not decoding file, cannot seek"));
  EXPECT_EQ(r.fake.control->last_seek_index, -1);
}

TEST(VideoDecodeService, CodecChangesApplyToTheDecoderButNotDuringFileDecoding) {
  LogCapture logs;
  Running r;
  r.service->set_codec(CodecID::H264);
  r.service->start();
  r.service->decode_bytes_arced(packet({1}));
  r.service->set_codec(CodecID::H264);
  auto events = r.sync();
  EXPECT_TRUE(logs.has(MOK_LOG_WARN, "Decoder not started, cannot set codec"));
  EXPECT_EQ(r.fake.control->last_icodec, 27u);
  EXPECT_EQ(all_of<ev::StatsReply>(events).back().frames_decoded, 0u);

  r.fake.control->file_frames = 1000;
  r.fake.control->file_frame_rate = 1.0;
  r.service->post(ev::DecodeFile{"/videos/a.mkv"});
  r.service->set_codec(CodecID::H265);
  r.service->decode_bytes_arced(packet({2}));
  events = r.sync();
  EXPECT_EQ(r.failures(events), std::vector<std::string>{"Cannot change codec during file decoding"});
  EXPECT_EQ(r.fake.control->last_icodec, 27u);
  EXPECT_TRUE(logs.has(MOK_LOG_WARN, "Switching from stream decoding to file decoding"));
  EXPECT_TRUE(logs.has(MOK_LOG_WARN, "Cannot decode bytes while decoding file, dropping data"));
  r.service->post(ev::Stop{});

  r.fake.control->set_icodec_status = 1;
  r.service->start();
  r.service->set_codec(CodecID::VP9);
  events = r.sync();
  EXPECT_EQ(r.failures(events), std::vector<std::string>{"Failed to set codec: NeedMore"});
}

TEST(VideoDecodeService, PixelFormatAndScaleChanges) {
  LogCapture logs;
  Running r;
  r.service->post(ev::SetPixelFormat{PixelFormat::Nv12});
  r.service->set_output_scale(0.5f);
  r.service->start();
  r.service->post(ev::SetPixelFormat{PixelFormat::Bgra});
  r.service->set_output_scale(0.5f);
  auto events = r.sync();
  r.fake.control->set_oformat_status = -1;
  r.service->post(ev::SetPixelFormat{PixelFormat::Gray8});
  events = r.sync();
  EXPECT_TRUE(logs.has(MOK_LOG_WARN, "Decoder not started, cannot set pixel format"));
  EXPECT_TRUE(logs.has(MOK_LOG_WARN, "Decoder not started, cannot set output scale"));
  EXPECT_EQ(r.failures(events), std::vector<std::string>{"Failed to set pixel format: Error"});
  EXPECT_EQ(r.fake.control->last_oformat, 28);
}

TEST(VideoDecodeService, OutputEventsPostedAsCommandsAreIgnored) {
  Running r;
  r.service->post(ev::Fps{30.0});
  r.service->post(ev::Started{});
  auto events = r.sync();
  EXPECT_EQ(events.size(), 1u);
}

TEST(VideoDecodeService, FileIsDecodedToItsEndWithProgressEvery30Frames) {
  LogCapture logs;
  VideoDecodeServiceConfig config;
  config.file_decode_max_fps = 1000.0;  // the file reports no rate
  Running r(config);
  r.fake.control->file_frames = 65;
  r.service->post(ev::DecodeFile{"/videos/early.mkv"});
  r.service->start();
  r.service->post(ev::DecodeFile{"/videos/b.mkv"});
  auto events = r.finish();  // the thread ends only once the file is done
  EXPECT_TRUE(logs.has(MOK_LOG_WARN, "Decoder not started, cannot decode file"));
  EXPECT_EQ(all_of<ev::Frame>(events).size(), 65u);
  auto progress = all_of<ev::Progress>(events);
  ASSERT_EQ(progress.size(), 2u);
  EXPECT_EQ(progress[0].current_frame, 30u);
  EXPECT_EQ(progress[0].total_frames, 65u);
  EXPECT_FLOAT_EQ(progress[0].progress, 30.0f / 65.0f);
  EXPECT_EQ(progress[1].current_frame, 60u);
  auto stats = all_of<ev::Stats>(events);
  ASSERT_EQ(stats.size(), 1u);
  EXPECT_EQ(stats[0].frames_decoded, 60u);
  EXPECT_EQ(r.fake.control->open_file_calls, 1);
  EXPECT_EQ(r.fake.control->close_file_calls, 1);
}

TEST(VideoDecodeService, SeekDuringFileDecodingMovesTheLibrary) {
  Running r;
  r.fake.control->file_frames = 1000;
  r.fake.control->file_frame_rate = 1.0;
  r.service->start();
  r.service->post(ev::DecodeFile{"/videos/c.mkv"});
  r.service->post(ev::Seek{500});
  auto events = r.sync();
  EXPECT_EQ(r.fake.control->last_seek_index, 500);
  r.fake.control->seek_status = -1;
  r.service->post(ev::Seek{7});
  events = r.sync();
  EXPECT_EQ(r.failures(events), std::vector<std::string>{"Failed to seek to frame 7: Error"});
  r.service->post(ev::Flush{});
  r.service->post(ev::Seek{1});
  events = r.sync();
  EXPECT_EQ(r.failures(events), std::vector<std::string>{"Cannot seek: not decoding a file"});
}

TEST(VideoDecodeService, FailedFileOpenLeavesTheStateAlone) {
  Running r;
  r.fake.control->open_file_status = -2;
  r.service->start();
  r.service->post(ev::DecodeFile{"/videos/missing.mkv"});
  r.service->decode_bytes_arced(packet({1}));
  auto events = r.sync();
  EXPECT_EQ(r.failures(events), std::vector<std::string>{"Failed to open file /videos/missing.mkv: Error"});
  EXPECT_EQ(all_of<ev::Frame>(events).size(), 1u);
}

// With a small rule; the defaults (more than 150 frames averaged above 33 ms)
// are checked end to end by VideoStats.SlowDecoderDropsByTheRealTimeRule...
TEST(VideoDecodeService, RealTimeRuleDropsDataOnceEnoughFramesAveragedTooSlow) {
  LogCapture logs;
  VideoDecodeServiceConfig config;
  config.realtime_min_frames = 5;
  config.max_decode_time_ms = 10;
  Running r(config);
  r.fake.control->decode_delay_ms = 15;  // a loaded machine only makes it slower
  r.service->start();
  for (int i = 0; i < 8; ++i) r.service->decode_bytes_arced(packet({static_cast<uint8_t>(i)}));
  auto events = r.sync();
  EXPECT_EQ(r.fake.control->decode_calls, 6);
  EXPECT_EQ(all_of<ev::Frame>(events).size(), 6u);
  auto too_slow = all_of<ev::TooSlow>(events);
  ASSERT_EQ(too_slow.size(), 2u);
  EXPECT_GE(too_slow[0].avg_decode_ms, 15.0);
  const auto reply = all_of<ev::StatsReply>(events).back();
  EXPECT_EQ(reply.frames_decoded, 6u);
  EXPECT_EQ(reply.frames_dropped, 2u);
  bool warned = false;
  for (const auto& rec : logs.records()) {
    warned |= rec.level == MOK_LOG_WARN && rec.message.starts_with("Decoding too slow (") &&
              rec.message.ends_with(" ms), dropping data to maintain real-time performance");
  }
  EXPECT_TRUE(warned);

  // Only a reset lets data through again.
  r.fake.control->decode_delay_ms = 0;
  r.service->set_codec(CodecID::H265);
  r.service->decode_bytes_arced(packet({1}));
  EXPECT_EQ(r.stats().frames_decoded, 1u);
}

TEST(VideoDecodeService, ThreadEndsAfterTheChannelClosesWithQueuedDataStillDecoded) {
  Running r;
  r.fake.control->decode_delay_ms = 5;
  r.service->start();
  for (uint8_t i = 1; i <= 5; ++i) r.service->decode_bytes_arced(packet({i}));
  auto events = r.finish();
  auto frames = all_of<ev::Frame>(events);
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(frames.back().frame->get_info()->pts, 5);
  EXPECT_EQ(r.fake.control->decoders_freed, 1);
  // The frames outlived decoder and service.
  EXPECT_EQ(r.fake.control->frames_freed, 0);
  frames.clear();
  events.clear();
  EXPECT_EQ(r.fake.control->frames_freed, 5);
}

TEST(VideoDecodeService, EventReceiversShareOneQueue) {
  Running r;
  auto second = r.service->events();
  r.service->start();
  for (uint8_t i = 1; i <= 4; ++i) r.service->decode_bytes_arced(packet({i}));
  auto first_part = r.sync();
  EXPECT_FALSE(second.try_recv().has_value());  // the first receiver took them all
  r.service->post(ev::GetStats{});
  auto reply = second.recv_timeout(test::kEventWait);
  ASSERT_TRUE(reply.ok());
  EXPECT_TRUE(std::holds_alternative<ev::StatsReply>(*reply));
  EXPECT_EQ(all_of<ev::Frame>(first_part).size(), 4u);
}

TEST(MediaChannel, ClosesForReceiversWhenSendersAreGoneAndRefusesWithoutReceivers) {
  auto [tx, rx] = make_channel<int>();
  ASSERT_TRUE(tx.send(1).ok());
  auto timed_out = rx.recv_timeout(std::chrono::milliseconds(0));
  ASSERT_TRUE(timed_out.ok());
  EXPECT_EQ(*timed_out, 1);
  EXPECT_EQ(rx.recv_timeout(std::chrono::milliseconds(1)).error(), RecvError::Timeout);
  ASSERT_TRUE(tx.send(2).ok());
  tx.reset();
  EXPECT_EQ(rx.recv(), 2);
  EXPECT_EQ(rx.recv(), std::nullopt);
  EXPECT_EQ(rx.recv_timeout(std::chrono::seconds(5)).error(), RecvError::Closed);

  auto [tx2, rx2] = make_channel<int>();
  rx2.reset();
  auto refused = tx2.send(3);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().item, 3);
  EXPECT_EQ(refused.error().text(), "Closed(..)");
}

}  // namespace
}  // namespace mok::media

// The FFmpeg stand-in decoder library end to end: streams that the test
// encodes itself decode to scaled Rgba frames that match the source, damaged
// input fails without harm, and recorded files play back, seek and save.
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "media/media_library.hpp"
#include "media/video_decode_service.hpp"
#include "media/video_decoder.hpp"
#include "media_test_support.hpp"
#include "support/video_encoder.hpp"

namespace mok::media {
namespace {

namespace fs = std::filesystem;
namespace ev = video_event;
using mok::test::AccessUnit;
using mok::test::RgbImage;
using mok::test::VideoCodec;

constexpr int kWidth = 320;
constexpr int kHeight = 240;

std::shared_ptr<const MediaLibrary> standin() {
  auto loaded = MediaLibrary::load_path(MOK_STANDIN_MEDIA_PATH);
  if (!loaded) {
    ADD_FAILURE() << loaded.error().text();
    return nullptr;
  }
  return std::move(loaded.value());
}

std::unique_ptr<VideoDecoder> rgba_quarter_decoder(const std::shared_ptr<const MediaLibrary>& lib, CodecID codec) {
  auto decoder = VideoDecoder::create(lib);
  if (!decoder) return nullptr;
  EXPECT_TRUE((*decoder)->set_input_codec(codec).ok());
  EXPECT_TRUE((*decoder)->set_output_format(PixelFormat::Rgba).ok());
  EXPECT_TRUE((*decoder)->set_output_scale(0.25f).ok());
  return std::move(decoder.value());
}

// Mean absolute difference per channel between an Rgba frame and the source
// picture averaged over the matching 4 x 4 blocks.
double difference_to_source(const FrameInfo& info, const RgbImage& src) {
  double total = 0;
  for (int y = 0; y < info.height; ++y) {
    const uint8_t* row = info.data[0] + static_cast<ptrdiff_t>(y) * info.linesize[0];
    for (int x = 0; x < info.width; ++x) {
      for (int c = 0; c < 3; ++c) {
        int sum = 0;
        for (int dy = 0; dy < 4; ++dy)
          for (int dx = 0; dx < 4; ++dx) sum += src.at(x * 4 + dx, y * 4 + dy, c);
        total += std::abs(row[x * 4 + c] - sum / 16.0);
      }
    }
  }
  return total / (info.width * info.height * 3.0);
}

// The Rgba rows of a frame without their padding.
std::vector<uint8_t> pixels(const FrameInfo& info) {
  std::vector<uint8_t> out;
  for (int y = 0; y < info.height; ++y) {
    const uint8_t* row = info.data[0] + static_cast<ptrdiff_t>(y) * info.linesize[0];
    out.insert(out.end(), row, row + static_cast<ptrdiff_t>(info.width) * 4);
  }
  return out;
}

struct StreamCase {
  VideoCodec encoder;
  CodecID codec;
};

class StandinStream : public ::testing::TestWithParam<StreamCase> {
 protected:
  std::vector<AccessUnit> encode(int frames) {
    std::string why;
    auto units = mok::test::encode_pattern(GetParam().encoder, kWidth, kHeight, frames, &why);
    if (units.empty()) ADD_FAILURE() << why;
    return units;
  }
};

TEST_P(StandinStream, DecodesToQuarterSizeRgbaMatchingTheSource) {
  auto lib = standin();
  ASSERT_TRUE(lib);
  const auto units = encode(36);
  ASSERT_EQ(units.size(), 36u);
  auto decoder = rgba_quarter_decoder(lib, GetParam().codec);
  ASSERT_TRUE(decoder);
  int decoded = 0;
  for (const auto& au : units) {
    auto frame = decoder->decode_frame(au);
    if (!frame.ok()) {
      EXPECT_EQ(frame.error().text(), "NeedMore");
      continue;
    }
    ++decoded;
    auto info = (*frame)->get_info();
    ASSERT_TRUE(info.ok());
    EXPECT_EQ(info->format, 26);
    EXPECT_EQ(info->width, kWidth / 4);
    EXPECT_EQ(info->height, kHeight / 4);
    EXPECT_GE(info->linesize[0], kWidth / 4 * 4);
    EXPECT_EQ(info->data[1], nullptr);
    ASSERT_GE(info->pts, 0);
    ASSERT_LT(info->pts, 36);
    const RgbImage src = mok::test::moving_pattern(kWidth, kHeight, static_cast<int>(info->pts));
    EXPECT_LT(difference_to_source(*info, src), 4.0) << "frame " << info->pts;
    EXPECT_EQ(info->data[0][3], 255);  // opaque alpha
  }
  // Low-delay decoding: at most a frame or two held back.
  EXPECT_GE(decoded, 34);
}

TEST_P(StandinStream, DamagedInputFailsWithoutHarm) {
  auto lib = standin();
  ASSERT_TRUE(lib);
  const auto units = encode(8);
  ASSERT_FALSE(units.empty());
  {
    auto decoder = rgba_quarter_decoder(lib, GetParam().codec);
    std::mt19937 rng(1234);
    for (int i = 0; i < 40; ++i) {
      std::vector<uint8_t> garbage(1 + rng() % 3000);
      for (auto& b : garbage) b = static_cast<uint8_t>(rng());
      EXPECT_FALSE(decoder->decode_frame(garbage).ok());
    }
    EXPECT_FALSE(decoder->decode_frame({}).ok());
  }
  {
    // The key frame cut short, on a fresh decoder.
    auto decoder = rgba_quarter_decoder(lib, GetParam().codec);
    const AccessUnit& key = units.front();
    EXPECT_FALSE(decoder->decode_frame(std::span(key.data(), key.size() / 3)).ok());
  }
  {
    // Bytes flipped all over a valid stream: whatever comes out, nothing
    // breaks, and a clean key frame afterwards decodes again.
    auto decoder = rgba_quarter_decoder(lib, GetParam().codec);
    std::mt19937 rng(99);
    for (const auto& au : units) {
      AccessUnit bad = au;
      for (int k = 0; k < 8; ++k) bad[rng() % bad.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      (void)decoder->decode_frame(bad);
      AccessUnit cut(au.begin(), au.begin() + static_cast<ptrdiff_t>(rng() % au.size()));
      (void)decoder->decode_frame(cut);
    }
    ASSERT_TRUE(decoder->flush().ok());
    EXPECT_TRUE(decoder->decode_frame(units.front()).ok());
  }
}

// What `body` writes to standard error, line by line.
template <class Body>
std::vector<std::string> stderr_lines(Body body) {
  std::fflush(stderr);
  FILE* capture = std::tmpfile();
  const int saved = dup(2);
  dup2(fileno(capture), 2);
  body();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::rewind(capture);
  std::vector<std::string> lines;
  char line[4096];
  while (std::fgets(line, sizeof line, capture)) lines.emplace_back(line);
  std::fclose(capture);
  return lines;
}

TEST_P(StandinStream, GarbageAtFullRateLogsALittleAndTheHostsOwnRecordsPassUnchanged) {
  auto lib = standin();
  ASSERT_TRUE(lib);
  auto decoder = rgba_quarter_decoder(lib, GetParam().codec);
  AVCodecContext* host = avcodec_alloc_context3(nullptr);
  std::mt19937 rng(7);
  constexpr int kPackets = 5000, kHostRecords = 50;
  const auto lines = stderr_lines([&] {
    for (int i = 0; i < kPackets; ++i) {
      std::vector<uint8_t> garbage = {0, 0, 0, 1};
      garbage.resize(4 + 1 + rng() % 200);
      for (std::size_t k = 4; k < garbage.size(); ++k) garbage[k] = static_cast<uint8_t>(rng());
      (void)decoder->decode_frame(garbage);
      if (i % (kPackets / kHostRecords) == 0) av_log(host, AV_LOG_ERROR, "host record %d\n", i);
    }
  });
  avcodec_free_context(&host);
  const auto host_lines = std::count_if(lines.begin(), lines.end(),
                                        [](const std::string& l) { return l.find("host record") != l.npos; });
  std::cout << kPackets << " garbage packets: " << lines.size() << " lines on standard error\n";
  EXPECT_EQ(host_lines, kHostRecords);
  EXPECT_LT(lines.size() - static_cast<std::size_t>(host_lines), 100u);
}

TEST_P(StandinStream, ServiceDecodesTheStreamAndReportsGarbageAsFailures) {
  auto lib = standin();
  ASSERT_TRUE(lib);
  const auto units = encode(10);
  ASSERT_EQ(units.size(), 10u);
  auto service = VideoDecodeService::create(lib);
  ASSERT_TRUE(service.ok());
  auto events = service->events();
  service->start();
  service->set_codec(GetParam().codec);
  service->decode_bytes_arced(test::packet({0, 0, 0, 1, 0x42, 0x13, 0x37, 0x99, 0xff}));
  service->decode_bytes_arced(test::packet(std::vector<uint8_t>(500, 0xa5)));
  for (const auto& au : units) service->decode_bytes_arced(test::packet(au));
  auto seen = test::sync(*service, events);
  { auto release = std::move(service.value()); }
  auto rest = test::drain_until_closed(events);
  EXPECT_TRUE(rest.empty());
  auto failures = test::all_of<ev::Failure>(seen);
  ASSERT_GE(failures.size(), 2u);
  EXPECT_TRUE(failures[0].message == "Decoding failed: Error" ||
              failures[0].message == "Decoding failed: NeedMore")
      << failures[0].message;
  auto frames = test::all_of<ev::Frame>(seen);
  ASSERT_GE(frames.size(), 8u);
  auto info = frames.back().frame->get_info();
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info->width, 80);
  EXPECT_EQ(info->height, 60);
  EXPECT_EQ(info->format, 26);
}

INSTANTIATE_TEST_SUITE_P(Codecs, StandinStream,
                         ::testing::Values(StreamCase{VideoCodec::H264, CodecID::H264},
                                           StreamCase{VideoCodec::H265, CodecID::H265}),
                         [](const auto& param) {
                           return param.param.codec == CodecID::H264 ? std::string("H264") : std::string("H265");
                         });

class TempFile {
 public:
  explicit TempFile(const std::string& ext)
      : path_(fs::temp_directory_path() /
              ("mok_standin_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++) + ext)) {}
  ~TempFile() {
    std::error_code ec;
    fs::remove(path_, ec);
  }
  std::string str() const { return path_.string(); }

 private:
  static inline int counter_ = 0;
  fs::path path_;
};

// Records the pattern into a container file with the library's muxer.
void record(const MediaApi& api, const std::string& path, int frames, VideoCodec codec = VideoCodec::H264) {
  std::string why;
  const auto units = mok::test::encode_pattern(codec, kWidth, kHeight, frames, &why);
  ASSERT_EQ(units.size(), static_cast<size_t>(frames)) << why;
  mok_vmux* mux = api.mok_vmux_new(path.c_str(), kWidth, kHeight, 25.0);
  ASSERT_NE(mux, nullptr);
  EXPECT_NE(api.mok_vmux_write_frame(mux, units[0].data(), 10, -1), 0);  // no codec yet
  const CodecID id = codec == VideoCodec::H264 ? CodecID::H264 : CodecID::H265;
  ASSERT_EQ(api.mok_vmux_set_icodec(mux, code(id)), 0);
  for (const auto& au : units) {
    ASSERT_EQ(api.mok_vmux_write_frame(mux, au.data(), static_cast<int32_t>(au.size()), -1), 0);
  }
  EXPECT_NE(api.mok_vmux_set_icodec(mux, code(CodecID::H265)), 0);  // too late
  EXPECT_EQ(api.mok_vmux_flush(mux), 0);
  EXPECT_GT(api.mok_vmux_written_bytes(mux), 1000);
  api.mok_vmux_free(mux);
}

TEST(StandinFile, RecordedFilePlaysBackSeeksByIndexAndSavesImages) {
  auto lib = standin();
  ASSERT_TRUE(lib);
  const MediaApi& api = lib->api();
  TempFile video(".mkv");
  record(api, video.str(), 48);
  auto decoder = rgba_quarter_decoder(lib, CodecID::H264);
  ASSERT_TRUE(decoder);
  ASSERT_TRUE(decoder->open_file(video.str()).ok());
  EXPECT_NEAR(decoder->file_frame_rate(), 25.0, 0.01);
  EXPECT_EQ(decoder->file_frame_count(), 48u);
  EXPECT_NEAR(api.mok_vdec_get_file_duration(decoder->handle()), 1.92, 0.05);
  EXPECT_EQ(api.mok_vdec_is_file_open(decoder->handle()), 1);

  // Frames 29 and 30 as decoded in order, to tell which one a seek lands on.
  std::vector<uint8_t> in_order[2];
  int read = 0;
  while (auto frame = decoder->read_frame()) {
    auto info = frame->get_info();
    ASSERT_TRUE(info.ok());
    EXPECT_EQ(info->width, 80);
    if (read == 5) {
      EXPECT_LT(difference_to_source(*info, mok::test::moving_pattern(kWidth, kHeight, 5)), 4.0);
    }
    if (read == 29 || read == 30) in_order[read - 29] = pixels(*info);
    ++read;
  }
  EXPECT_EQ(read, 48);
  EXPECT_EQ(decoder->current_frame_index(), 48u);

  // Seeking lands on exactly the frame asked for, not just its key frame.
  ASSERT_TRUE(decoder->seek_to_frame_index(30).ok());
  EXPECT_EQ(decoder->current_frame_index(), 30u);
  auto frame = decoder->read_frame();
  ASSERT_NE(frame, nullptr);
  auto info = frame->get_info();
  ASSERT_TRUE(info.ok());
  // Decoding is exact, so the frame must equal its decoding in order. Matching
  // against the source pattern instead cannot tell neighbours apart: they
  // differ by about as much as the colour conversion's rounding, which
  // depends on the machine's SIMD paths.
  const std::vector<uint8_t> landed = pixels(*info);
  EXPECT_TRUE(landed == in_order[1]);
  EXPECT_FALSE(landed == in_order[0]);
  EXPECT_EQ(decoder->current_frame_index(), 31u);
  EXPECT_FALSE(decoder->seek_to_frame_index(48).ok());

  TempFile image(".png");
  ASSERT_EQ(api.mok_vdec_frame_save(frame->raw(), image.str().c_str()), 0);
  std::ifstream in(image.str(), std::ios::binary);
  char magic[8] = {};
  in.read(magic, 8);
  EXPECT_EQ(std::string(magic + 1, 3), "PNG");
  EXPECT_NE(api.mok_vdec_frame_save(frame->raw(), "/tmp/mok_standin_image.unknown"), 0);

  decoder->close_file();
  decoder->close_file();
  EXPECT_EQ(api.mok_vdec_is_file_open(decoder->handle()), 0);
  EXPECT_EQ(decoder->read_frame(), nullptr);
}

// Reads every frame of `path`; the count, and the first frame matched
// against the pattern.
int play(const std::shared_ptr<const MediaLibrary>& lib, const std::string& path, int first) {
  auto decoder = rgba_quarter_decoder(lib, CodecID::H264);
  if (!decoder || !decoder->open_file(path).ok()) return -1;
  int n = 0;
  while (auto frame = decoder->read_frame()) {
    if (n++ == 0) {
      EXPECT_LT(difference_to_source(*frame->get_info(), mok::test::moving_pattern(kWidth, kHeight, first)), 4.0);
    }
  }
  return n;
}

TEST(StandinFile, RecordsH265IntoMp4AndGoesOnInANewFileFromTheNextKeyFrame) {
  auto lib = standin();
  ASSERT_TRUE(lib);
  const MediaApi& api = lib->api();
  std::string why;
  const auto units = mok::test::encode_pattern(VideoCodec::H265, kWidth, kHeight, 30, &why);
  ASSERT_EQ(units.size(), 30u) << why;
  TempFile first(".mp4");
  TempFile second(".mp4");
  mok_vmux* mux = api.mok_vmux_new(first.str().c_str(), kWidth, kHeight, 25.0);
  ASSERT_NE(mux, nullptr);
  ASSERT_EQ(api.mok_vmux_set_icodec(mux, code(CodecID::H265)), 0);
  // Joining mid-stream: nothing is written before a key frame.
  EXPECT_EQ(api.mok_vmux_write_frame(mux, units[1].data(), static_cast<int32_t>(units[1].size()), -1), 1);
  EXPECT_EQ(api.mok_vmux_written_bytes(mux), 0);
  for (int i = 0; i < 12; ++i) {
    ASSERT_EQ(api.mok_vmux_write_frame(mux, units[i].data(), static_cast<int32_t>(units[i].size()), -1), 0);
  }
  ASSERT_EQ(api.mok_vmux_renew(mux, second.str().c_str()), 0);
  // Frames 12 to 29 (the encoder puts a key frame every 12th picture).
  for (int i = 12; i < 30; ++i) {
    ASSERT_EQ(api.mok_vmux_write_frame(mux, units[i].data(), static_cast<int32_t>(units[i].size()), -1), 0);
  }
  api.mok_vmux_free(mux);
  EXPECT_EQ(play(lib, first.str(), 0), 12);
  EXPECT_EQ(play(lib, second.str(), 12), 18);
}

TEST(StandinFile, SeekByTimeLandsOnTheFrameAtThatTime) {
  auto lib = standin();
  ASSERT_TRUE(lib);
  TempFile video(".mkv");
  record(lib->api(), video.str(), 40);
  auto decoder = rgba_quarter_decoder(lib, CodecID::H264);
  ASSERT_TRUE(decoder->open_file(video.str()).ok());
  ASSERT_EQ(lib->api().mok_vdec_seek(decoder->handle(), 1.0), 0);
  EXPECT_EQ(decoder->current_frame_index(), 25u);
  auto frame = decoder->read_frame();
  ASSERT_NE(frame, nullptr);
  EXPECT_LT(difference_to_source(*frame->get_info(), mok::test::moving_pattern(kWidth, kHeight, 25)), 4.0);
  EXPECT_NE(lib->api().mok_vdec_seek(decoder->handle(), -1.0), 0);
}

TEST(StandinFile, ServicePlaysAFileToTheEnd) {
  auto lib = standin();
  ASSERT_TRUE(lib);
  TempFile video(".mkv");
  record(lib->api(), video.str(), 40);
  auto service = VideoDecodeService::create(lib);
  ASSERT_TRUE(service.ok());
  auto events = service->events();
  service->start();
  service->post(ev::DecodeFile{video.str()});
  { auto release = std::move(service.value()); }
  auto seen = test::drain_until_closed(events);  // ends once the file has ended
  EXPECT_EQ(test::all_of<ev::Frame>(seen).size(), 40u);
  auto progress = test::all_of<ev::Progress>(seen);
  ASSERT_EQ(progress.size(), 1u);
  EXPECT_EQ(progress[0].current_frame, 30u);
  EXPECT_EQ(progress[0].total_frames, 40u);
}

TEST(StandinDecoder, RefusesSettingsItCannotHonour) {
  auto lib = standin();
  ASSERT_TRUE(lib);
  auto decoder = VideoDecoder::create(lib);
  ASSERT_TRUE(decoder.ok());
  VideoDecoder& d = **decoder;
  EXPECT_FALSE(d.set_output_format(static_cast<PixelFormat>(-5)).ok());
  EXPECT_FALSE(d.set_output_format(static_cast<PixelFormat>(99999)).ok());
  EXPECT_TRUE(d.set_output_format(PixelFormat::Nv12).ok());
  EXPECT_FALSE(d.set_output_scale(0.0f).ok());
  EXPECT_FALSE(d.set_output_scale(std::nanf("")).ok());
  EXPECT_FALSE(d.set_input_codec(CodecID::None).ok());
  EXPECT_FALSE(d.set_input_codec(static_cast<CodecID>(123456789)).ok());
  EXPECT_TRUE(d.set_input_codec(CodecID::VP9).ok());
  // AV1 keeps its code 225 whatever number this FFmpeg gives it.
  EXPECT_EQ(d.set_input_codec(CodecID::AV1).ok(), avcodec_find_decoder(AV_CODEC_ID_AV1) != nullptr);
  EXPECT_FALSE(d.open_file("/nonexistent/video.mkv").ok());
  EXPECT_EQ(d.read_frame(), nullptr);
  EXPECT_FALSE(d.seek_to_frame_index(0).ok());
  EXPECT_EQ(lib->api().mok_vdec_get_current_frame_index(d.handle()), -1);
  EXPECT_EQ(lib->api().mok_media_ver_major(), 1);
}

}  // namespace
}  // namespace mok::media

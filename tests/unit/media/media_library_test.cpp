// Loading the decoder library: where it is looked for, what a missing symbol
// does, and how frames and decoders keep it loaded.
#include "media/media_library.hpp"

#include <filesystem>
#include <fstream>
#include <type_traits>

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "media/codec_id.hpp"
#include "media/error.hpp"
#include "media/pixel_format.hpp"
#include "media/video_decoder.hpp"
#include "media/video_frame.hpp"
#include "media_test_support.hpp"
#include "mok_media.h"

namespace mok::media {
namespace {

namespace fs = std::filesystem;
using test::FakeLibrary;

// The binding's entry point types are the library header's own.
static_assert(std::is_same_v<decltype(&::mok_vdec_decode_frame), decltype(MediaApi::mok_vdec_decode_frame)>);
static_assert(std::is_same_v<decltype(&::mok_vdec_read_frame), decltype(MediaApi::mok_vdec_read_frame)>);
static_assert(std::is_same_v<decltype(&::mok_vdec_set_oscale), decltype(MediaApi::mok_vdec_set_oscale)>);
static_assert(std::is_same_v<decltype(&::mok_vdec_set_icodec), decltype(MediaApi::mok_vdec_set_icodec)>);
static_assert(
    std::is_same_v<decltype(&::mok_vdec_seek_to_frame_index), decltype(MediaApi::mok_vdec_seek_to_frame_index)>);
static_assert(
    std::is_same_v<decltype(&::mok_vdec_get_file_frame_rate), decltype(MediaApi::mok_vdec_get_file_frame_rate)>);
static_assert(std::is_same_v<decltype(&::mok_vmux_write_frame), decltype(MediaApi::mok_vmux_write_frame)>);
static_assert(std::is_same_v<decltype(&::mok_vmux_new), decltype(MediaApi::mok_vmux_new)>);
static_assert(sizeof(mok_vdec_frame_info_t) == sizeof(FrameInfo));
static_assert(offsetof(mok_vdec_frame_info_t, height) == offsetof(FrameInfo, height));
static_assert(offsetof(mok_vdec_frame_info_t, opaque) == offsetof(FrameInfo, opaque));

class TempDir {
 public:
  TempDir() {
    path_ = fs::temp_directory_path() /
            ("mok_media_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  fs::path put_library(const std::string& from) const {
    fs::path to = path_ / kMediaLibraryFileName;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    return to;
  }

 private:
  static inline int counter_ = 0;
  fs::path path_;
};

std::string incomplete_library_path() {
  return std::string(MOK_FAKE_MEDIA_INCOMPLETE_DIR) + "/" + kMediaLibraryFileName;
}

TEST(MediaLibrarySearch, ExecutableDirectoryComesBeforeWorkingDirectory) {
  TempDir exe;
  TempDir cwd;
  const SearchDirs dirs{exe.path(), cwd.path()};
  EXPECT_EQ(candidate_paths(dirs),
            (std::vector<fs::path>{exe.path() / "libmok_media.so", cwd.path() / "libmok_media.so"}));

  // Nothing in either place: the loader searches its own paths.
  EXPECT_EQ(resolve_library_path(dirs), "libmok_media.so");
  const fs::path in_cwd = cwd.put_library(test::fake_library_path());
  EXPECT_EQ(resolve_library_path(dirs), in_cwd.string());
  const fs::path in_exe = exe.put_library(test::fake_library_path());
  EXPECT_EQ(resolve_library_path(dirs), in_exe.string());
}

TEST(MediaLibrarySearch, SameDirectoryIsListedOnceAndUnknownDirectoriesAreLeftOut) {
  TempDir dir;
  EXPECT_EQ(candidate_paths({dir.path(), dir.path()}).size(), 1u);
  EXPECT_EQ(candidate_paths({std::nullopt, dir.path()}), std::vector<fs::path>{dir.path() / "libmok_media.so"});
  EXPECT_TRUE(candidate_paths({std::nullopt, std::nullopt}).empty());
}

TEST(MediaLibrarySearch, OnlyRegularFilesCount) {
  TempDir exe;
  TempDir cwd;
  fs::create_directory(exe.path() / kMediaLibraryFileName);
  const fs::path in_cwd = cwd.put_library(test::fake_library_path());
  EXPECT_EQ(resolve_library_path({exe.path(), cwd.path()}), in_cwd.string());
}

TEST(MediaLibrarySearch, AFirstCandidateThatFailsToOpenEndsTheSearch) {
  TempDir exe;
  TempDir cwd;
  { std::ofstream(exe.path() / kMediaLibraryFileName) << "not a shared object"; }
  cwd.put_library(test::fake_library_path());
  auto loaded = MediaLibrary::load({exe.path(), cwd.path()});
  ASSERT_FALSE(loaded.ok());
  EXPECT_NE(loaded.error().text().find(exe.path().string()), std::string::npos) << loaded.error().text();
}

TEST(MediaLibrarySearch, LoadsFromTheWorkingDirectoryWhenTheExecutableDirectoryHasNone) {
  TempDir exe;
  TempDir cwd;
  const fs::path in_cwd = cwd.put_library(test::fake_library_path());
  auto loaded = MediaLibrary::load({exe.path(), cwd.path()});
  ASSERT_TRUE(loaded.ok()) << loaded.error().text();
  EXPECT_EQ((*loaded)->path(), in_cwd.string());
  EXPECT_STREQ((*loaded)->api().mok_media_ver_str(), "0.0.1-fake");
}

TEST(MediaLibrary, LibraryMissingOneSymbolIsRefusedAndClosedAgain) {
  const std::string path = incomplete_library_path();
  auto loaded = MediaLibrary::load_path(path);
  ASSERT_FALSE(loaded.ok());
  EXPECT_NE(loaded.error().text().find("mok_vdec_seek"), std::string::npos) << loaded.error().text();
  EXPECT_EQ(dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD), nullptr);
}

TEST(MediaLibrary, MissingLibraryReportsTheLoaderMessage) {
  auto loaded = MediaLibrary::load_path("/nonexistent/libmok_media.so");
  ASSERT_FALSE(loaded.ok());
  EXPECT_NE(loaded.error().text().find("/nonexistent/libmok_media.so"), std::string::npos);
}

TEST(MediaLibrary, FramesKeepTheLibraryLoadedAfterTheirDecoderIsGone) {
  SharedFrame frame;
  FakeMediaControl* control = nullptr;
  {
    FakeLibrary fake;
    control = fake.control;
    auto decoder = VideoDecoder::create(fake.library);
    ASSERT_TRUE(decoder.ok());
    const uint8_t data[] = {7, 1, 2};
    auto decoded = (*decoder)->decode_frame(data);
    ASSERT_TRUE(decoded.ok()) << decoded.error().text();
    frame = std::move(decoded.value());
    EXPECT_EQ(control->last_decode_arg, 0);
  }
  EXPECT_EQ(control->decoders_freed, 1);
  EXPECT_EQ(control->frames_freed, 0);
  auto info = frame->get_info();
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info->pts, 7);
  EXPECT_EQ(info->data[0][0], 7);
  EXPECT_EQ(info->data[1], nullptr);
  EXPECT_EQ(info->linesize[1], 0);
  void* still_loaded = dlopen(test::fake_library_path().c_str(), RTLD_LAZY | RTLD_NOLOAD);
  ASSERT_NE(still_loaded, nullptr);
  dlclose(still_loaded);
  frame.reset();
  EXPECT_EQ(dlopen(test::fake_library_path().c_str(), RTLD_LAZY | RTLD_NOLOAD), nullptr);
}

TEST(VideoDecoder, LibraryStatusesMapToErrorCodes) {
  FakeLibrary fake;
  auto decoder = VideoDecoder::create(fake.library);
  ASSERT_TRUE(decoder.ok());
  const uint8_t data[] = {1};
  for (auto [status, text] : {std::pair{1, "NeedMore"}, {5, "Error"}, {-7, "Error"}}) {
    fake.control->decode_status = status;
    auto decoded = (*decoder)->decode_frame(data);
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error().text(), text);
  }
  EXPECT_EQ(fake.control->frames_made, 0);
}

TEST(VideoDecoder, ReadFailureAndEndOfFileBothMeanNoFrame) {
  FakeLibrary fake;
  auto decoder = VideoDecoder::create(fake.library);
  ASSERT_TRUE(decoder.ok());
  fake.control->file_frames = 1;
  EXPECT_NE((*decoder)->read_frame(), nullptr);
  EXPECT_EQ((*decoder)->read_frame(), nullptr);
  fake.control->file_position = 0;
  fake.control->read_fails = true;
  EXPECT_EQ((*decoder)->read_frame(), nullptr);
}

TEST(VideoDecoder, PathWithNulByteFailsWithoutAskingTheLibrary) {
  FakeLibrary fake;
  auto decoder = VideoDecoder::create(fake.library);
  ASSERT_TRUE(decoder.ok());
  auto opened = (*decoder)->open_file(std::string_view("a\0b", 3));
  ASSERT_FALSE(opened.ok());
  EXPECT_NE(opened.error().text().find("nul byte"), std::string::npos);
  EXPECT_EQ(fake.control->open_file_calls, 0);
}

TEST(VideoFrame, FailedInfoGivesAnErrorAndFreesTheFrameOnce) {
  FakeLibrary fake;
  {
    auto decoder = VideoDecoder::create(fake.library);
    ASSERT_TRUE(decoder.ok());
    const uint8_t data[] = {3};
    auto frame = (*decoder)->decode_frame(data);
    ASSERT_TRUE(frame.ok());
    fake.control->frame_info_status = -1;
    auto info = (*frame)->get_info();
    ASSERT_FALSE(info.ok());
    EXPECT_EQ(info.error().text(), "Error");
  }
  EXPECT_EQ(fake.control->frames_made, 1);
  EXPECT_EQ(fake.control->frames_freed, 1);
}

TEST(MediaCodes, TextFormsAndStatusRule) {
  EXPECT_EQ(to_string(PixelFormat::Rgba), "Rgba");
  EXPECT_EQ(to_string(PixelFormat::None), "None");
  EXPECT_EQ(to_string(PixelFormat::Gray16le), "Gray16le");
  EXPECT_EQ(to_string(static_cast<PixelFormat>(5)), "5");
  EXPECT_EQ(to_string(CodecID::H265), "H265");
  EXPECT_EQ(to_string(CodecID::AV1), "AV1");
  EXPECT_EQ(to_string(ErrorCode::NeedMore), "NeedMore");
  EXPECT_EQ(error_code_from_status(0), ErrorCode::NoError);
  EXPECT_EQ(error_code_from_status(1), ErrorCode::NeedMore);
  EXPECT_EQ(error_code_from_status(2), ErrorCode::Error);
  EXPECT_EQ(error_code_from_status(-1), ErrorCode::Error);
}

}  // namespace
}  // namespace mok::media

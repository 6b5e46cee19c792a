// The binding to the decoder library libmok_media.so: where it is looked for,
// how it is opened, and its 32 entry points. The library is loaded at run
// time (video is optional and the library ships apart from us); decoders and
// frames share the binding, so it stays loaded until the last of them goes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "media/error.hpp"

// The library's opaque objects. They carry the library's own C names so that
// the pointer types below are the very types its header declares (a class
// name has no language linkage, so no C block is needed around them).
struct mok_vdec;
struct mok_vdec_frame;
struct mok_vmux;

namespace mok::media {

struct FrameInfo;

// Every entry point, in the order the loader resolves them. Only the decoder
// calls are used by this library; the rest must exist all the same, since a
// library lacking any of them is not one we trust.
struct MediaApi {
  int32_t (*mok_media_ver_major)();
  int32_t (*mok_media_ver_minor)();
  int32_t (*mok_media_ver_patch)();
  const char* (*mok_media_ver_str)();
  mok_vdec* (*mok_vdec_new)();
  void (*mok_vdec_free)(mok_vdec*);
  int32_t (*mok_vdec_decode_frame)(mok_vdec*, int64_t, const uint8_t*, int32_t, mok_vdec_frame**);
  int32_t (*mok_vdec_flush)(mok_vdec*);
  int32_t (*mok_vdec_set_icodec)(mok_vdec*, uint32_t);
  int32_t (*mok_vdec_set_oformat)(mok_vdec*, int32_t);
  int32_t (*mok_vdec_set_oscale)(mok_vdec*, float);
  int32_t (*mok_vdec_set_osize)(mok_vdec*, int32_t, int32_t);
  int32_t (*mok_vdec_frame_info)(const mok_vdec_frame*, FrameInfo*);
  void (*mok_vdec_frame_free)(mok_vdec_frame*);
  int32_t (*mok_vdec_frame_save)(const mok_vdec_frame*, const char*);
  int32_t (*mok_vdec_open_file)(mok_vdec*, const char*);
  int32_t (*mok_vdec_close_file)(mok_vdec*);
  int32_t (*mok_vdec_read_frame)(mok_vdec*, mok_vdec_frame**);
  int32_t (*mok_vdec_seek)(mok_vdec*, double);
  int32_t (*mok_vdec_is_file_open)(mok_vdec*);
  double (*mok_vdec_get_file_duration)(mok_vdec*);
  int64_t (*mok_vdec_get_file_frame_count)(mok_vdec*);
  double (*mok_vdec_get_file_frame_rate)(mok_vdec*);
  int32_t (*mok_vdec_seek_to_frame_index)(mok_vdec*, int64_t);
  int64_t (*mok_vdec_get_current_frame_index)(mok_vdec*);
  mok_vmux* (*mok_vmux_new)(const char*, int32_t, int32_t, double);
  void (*mok_vmux_free)(mok_vmux*);
  int64_t (*mok_vmux_written_bytes)(const mok_vmux*);
  int32_t (*mok_vmux_flush)(mok_vmux*);
  int32_t (*mok_vmux_renew)(mok_vmux*, const char*);
  int32_t (*mok_vmux_set_icodec)(mok_vmux*, uint32_t);
  int32_t (*mok_vmux_write_frame)(mok_vmux*, const uint8_t*, int32_t, int64_t);
};

inline constexpr const char* kMediaLibraryFileName = "libmok_media.so";

// Where the library is looked for: the running executable's directory, then
// the working directory unless it is the same place. A directory that cannot
// be determined is left out.
struct SearchDirs {
  std::optional<std::filesystem::path> executable_dir;
  std::optional<std::filesystem::path> working_dir;

  // The directories of this process.
  static SearchDirs of_process();
};

// The candidate files in search order.
std::vector<std::filesystem::path> candidate_paths(const SearchDirs& dirs);

// What dlopen is given: the first candidate that is a regular file, or the
// bare file name so that the loader searches its usual paths.
std::string resolve_library_path(const SearchDirs& dirs);

class MediaLibrary {
 public:
  // Loads the library from the process's search directories. The error text
  // is the loader's message.
  static Result<std::shared_ptr<const MediaLibrary>, Error> load();
  // Same search over the given directories (tests place libraries there).
  static Result<std::shared_ptr<const MediaLibrary>, Error> load(const SearchDirs& dirs);
  // Opens exactly this file, or hands a bare name to the loader.
  static Result<std::shared_ptr<const MediaLibrary>, Error> load_path(const std::string& path);

  ~MediaLibrary();
  MediaLibrary(const MediaLibrary&) = delete;
  MediaLibrary& operator=(const MediaLibrary&) = delete;

  const MediaApi& api() const noexcept { return api_; }
  // The path given to dlopen.
  const std::string& path() const noexcept { return path_; }

 private:
  MediaLibrary(void* handle, const MediaApi& api, std::string path) noexcept
      : handle_(handle), api_(api), path_(std::move(path)) {}

  void* handle_;
  MediaApi api_;
  std::string path_;
};

}  // namespace mok::media

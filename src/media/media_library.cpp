// Locating and opening the decoder library and resolving its entry points.
// Every symbol is required: a library missing one is closed again at once
// rather than half-used.
#include "media/media_library.hpp"

#include <cstring>
#include <system_error>

#include <dlfcn.h>

namespace mok::media {

namespace fs = std::filesystem;

SearchDirs SearchDirs::of_process() {
  SearchDirs dirs;
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && exe.has_parent_path()) dirs.executable_dir = exe.parent_path();
  const fs::path cwd = fs::current_path(ec);
  if (!ec) dirs.working_dir = cwd;
  return dirs;
}

std::vector<fs::path> candidate_paths(const SearchDirs& dirs) {
  std::vector<fs::path> out;
  if (dirs.executable_dir) out.push_back(*dirs.executable_dir / kMediaLibraryFileName);
  if (dirs.working_dir) {
    fs::path p = *dirs.working_dir / kMediaLibraryFileName;
    if (out.empty() || out.front() != p) out.push_back(std::move(p));
  }
  return out;
}

std::string resolve_library_path(const SearchDirs& dirs) {
  for (const fs::path& p : candidate_paths(dirs)) {
    std::error_code ec;
    if (fs::is_regular_file(p, ec)) return p.string();
  }
  return kMediaLibraryFileName;
}

namespace {

std::string loader_message(const char* fallback) {
  const char* msg = dlerror();
  return msg != nullptr ? std::string(msg) : std::string(fallback);
}

// dlsym's answer is an object pointer; copying its bits is the portable way
// to turn it into the function pointer it really is.
template <class Fn>
bool resolve(void* handle, const char* name, Fn& out, std::string& error) {
  dlerror();
  void* sym = dlsym(handle, name);
  if (const char* msg = dlerror(); msg != nullptr || sym == nullptr) {
    error = msg != nullptr ? msg : std::string("undefined symbol: ") + name;
    return false;
  }
  static_assert(sizeof(Fn) == sizeof(void*));
  std::memcpy(&out, &sym, sizeof out);
  return true;
}

#define MOK_RESOLVE(sym) resolve(handle, #sym, api.sym, error)

bool resolve_all(void* handle, MediaApi& api, std::string& error) {
  return MOK_RESOLVE(mok_media_ver_major) && MOK_RESOLVE(mok_media_ver_minor) &&
         MOK_RESOLVE(mok_media_ver_patch) && MOK_RESOLVE(mok_media_ver_str) && MOK_RESOLVE(mok_vdec_new) &&
         MOK_RESOLVE(mok_vdec_free) && MOK_RESOLVE(mok_vdec_decode_frame) && MOK_RESOLVE(mok_vdec_flush) &&
         MOK_RESOLVE(mok_vdec_set_icodec) && MOK_RESOLVE(mok_vdec_set_oformat) &&
         MOK_RESOLVE(mok_vdec_set_oscale) && MOK_RESOLVE(mok_vdec_set_osize) && MOK_RESOLVE(mok_vdec_frame_info) &&
         MOK_RESOLVE(mok_vdec_frame_free) && MOK_RESOLVE(mok_vdec_frame_save) && MOK_RESOLVE(mok_vdec_open_file) &&
         MOK_RESOLVE(mok_vdec_close_file) && MOK_RESOLVE(mok_vdec_read_frame) && MOK_RESOLVE(mok_vdec_seek) &&
         MOK_RESOLVE(mok_vdec_is_file_open) && MOK_RESOLVE(mok_vdec_get_file_duration) &&
         MOK_RESOLVE(mok_vdec_get_file_frame_count) && MOK_RESOLVE(mok_vdec_get_file_frame_rate) &&
         MOK_RESOLVE(mok_vdec_seek_to_frame_index) && MOK_RESOLVE(mok_vdec_get_current_frame_index) &&
         MOK_RESOLVE(mok_vmux_new) && MOK_RESOLVE(mok_vmux_free) && MOK_RESOLVE(mok_vmux_written_bytes) &&
         MOK_RESOLVE(mok_vmux_flush) && MOK_RESOLVE(mok_vmux_renew) && MOK_RESOLVE(mok_vmux_set_icodec) &&
         MOK_RESOLVE(mok_vmux_write_frame);
}

#undef MOK_RESOLVE

}  // namespace

Result<std::shared_ptr<const MediaLibrary>, Error> MediaLibrary::load() { return load(SearchDirs::of_process()); }

Result<std::shared_ptr<const MediaLibrary>, Error> MediaLibrary::load(const SearchDirs& dirs) {
  return load_path(resolve_library_path(dirs));
}

Result<std::shared_ptr<const MediaLibrary>, Error> MediaLibrary::load_path(const std::string& path) {
  dlerror();
  void* handle = dlopen(path.c_str(), RTLD_LAZY);
  if (handle == nullptr) return err(Error(loader_message("cannot open shared object")));
  MediaApi api{};
  std::string error;
  if (!resolve_all(handle, api, error)) {
    dlclose(handle);
    return err(Error(std::move(error)));
  }
  return std::shared_ptr<const MediaLibrary>(new MediaLibrary(handle, api, path));
}

MediaLibrary::~MediaLibrary() { dlclose(handle_); }

}  // namespace mok::media

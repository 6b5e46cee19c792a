// The library's FFmpeg log callback. Objects are told apart by address: an
// adopted object, or one whose chain of parent log contexts reaches one (a
// decoder's private parts log through their codec context). FFmpeg offers no
// way to read the callback in place, so what is not ours goes to FFmpeg's
// default callback; a host that sets its own callback after ours keeps it.
#include "log.hpp"

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string_view>
#include <vector>

#include <dlfcn.h>

#include "common/log_limit.hpp"

namespace mok_media {
namespace {

constexpr int kMaxParents = 4;
constexpr const char* kTarget = "mok_media";
// All of FFmpeg's records count as one kind, whatever their level: garbage
// makes a decoder say dozens of different things, each of which alone would
// pass the limit.
constexpr std::string_view kKind = "records from FFmpeg";

struct Registry {
  std::mutex mu;
  std::vector<void*> own;
  mok::log::RateLimit limit;
  bool installed = false;
};

thread_local int t_scopes = 0;

// Never destroyed: decoding threads may log while the process exits.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

bool ours(const std::vector<void*>& own, void* ctx) {
  for (int depth = 0; ctx != nullptr && depth < kMaxParents; ++depth) {
    if (std::find(own.begin(), own.end(), ctx) != own.end()) return true;
    const AVClass* cls = *static_cast<const AVClass* const*>(ctx);
    if (cls == nullptr || cls->parent_log_context_offset == 0) return false;
    ctx = *reinterpret_cast<void* const*>(static_cast<const std::uint8_t*>(ctx) + cls->parent_log_context_offset);
  }
  return false;
}

std::uint64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1'000'000u;
}

void write_held(const mok::log::RateLimit::Held& held) {
  if (held.count == 0) return;
  std::fprintf(stderr, "%s: %llu similar records suppressed: %.*s\n", kTarget,
               static_cast<unsigned long long>(held.count), static_cast<int>(held.format.size()),
               held.format.data());
}

void callback(void* ctx, int level, const char* fmt, va_list args) {
  Registry& r = registry();
  mok::log::RateLimit::Verdict v;
  bool mine = false;
  {
    std::lock_guard<std::mutex> lock(r.mu);
    mine = t_scopes > 0 || ours(r.own, ctx);
    if (mine && level <= av_log_get_level()) v = r.limit.admit(AV_LOG_ERROR, kTarget, kKind, now_ms());
  }
  if (!mine) return av_log_default_callback(ctx, level, fmt, args);
  if (level > av_log_get_level()) return;
  write_held(v.evicted);
  write_held(v.same);
  if (!v.pass) return;
  char line[1024];
  int print_prefix = 1;
  av_log_format_line2(ctx, level, fmt, args, line, sizeof line, &print_prefix);
  const std::size_t n = std::char_traits<char>::length(line);
  // One write per record keeps lines whole when threads log at once.
  std::fprintf(stderr, "%s: %s%s", kTarget, line, n > 0 && line[n - 1] == '\n' ? "" : "\n");
}

// Once FFmpeg holds our callback the library stays loaded: an unload would
// leave FFmpeg a dangling function, and setting the default back on unload
// would undo a host's own callback set since.
void stay_loaded() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&callback), &info) != 0 && info.dli_fname != nullptr) {
    (void)dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  }
}

void install(Registry& r) {
  if (r.installed) return;
  stay_loaded();
  av_log_set_callback(callback);
  r.installed = true;
}

}  // namespace

void adopt_log(void* ctx) {
  if (ctx == nullptr) return;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  install(r);
  r.own.push_back(ctx);
}

LogScope::LogScope() {
  if (t_scopes++ > 0) return;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  install(r);
}

LogScope::~LogScope() { --t_scopes; }

void release_log(void* ctx) {
  if (ctx == nullptr) return;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  std::erase(r.own, ctx);
}

}  // namespace mok_media

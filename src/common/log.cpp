// The log facade's sink: a host callback behind a reader-writer lock, so that
// records from many threads are delivered concurrently and replacing the
// callback waits for deliveries in flight. The default sink writes Warn and
// Error records to standard error.
#include "common/log.hpp"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "common/clock.hpp"
#include "common/log_limit.hpp"
#include "mok/mok_log.h"

namespace mok::log {
namespace {

struct Sink {
  std::shared_mutex lock;
  Callback cb = nullptr;
  void* user = nullptr;
};

// Constructed on first use (no global constructor) and never destroyed:
// runtime workers may still log while the process exits.
Sink& sink() {
  static Sink* s = new Sink;
  return *s;
}

std::atomic<int> g_max_level{static_cast<int>(Level::Warn)};

constinit std::mutex g_limit_lock;

RateLimit& limiter() {
  static RateLimit* l = new RateLimit;
  return *l;
}

void report_held(const RateLimit::Held& held) noexcept {
  if (held.count == 0) return;
  try {
    write(static_cast<Level>(held.level), held.target,
          fmt::format("{} similar records suppressed: {}", held.count, held.format));
  } catch (...) {
  }
}

void write_stderr(Level level, std::string_view target, std::string_view message) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm parts{};
  gmtime_r(&ts.tv_sec, &parts);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &parts);
  // One fprintf per record keeps lines whole when threads log at once.
  std::fprintf(stderr, "%s.%06ldZ %-5.*s %.*s: %.*s\n", when, ts.tv_nsec / 1000L,
               static_cast<int>(level_name(level).size()), level_name(level).data(),
               static_cast<int>(target.size()), target.data(), static_cast<int>(message.size()), message.data());
}

}  // namespace

std::string_view level_name(Level level) noexcept {
  switch (level) {
    case Level::Off:
      return "OFF";
    case Level::Error:
      return "ERROR";
    case Level::Warn:
      return "WARN";
    case Level::Info:
      return "INFO";
    case Level::Debug:
      return "DEBUG";
    case Level::Trace:
      return "TRACE";
  }
  return "?";
}

bool enabled(Level level) noexcept {
  return level != Level::Off && static_cast<int>(level) <= g_max_level.load(std::memory_order_relaxed);
}

bool admit(Level level, std::string_view target, std::string_view format) noexcept {
  if (static_cast<int>(level) > static_cast<int>(Level::Info)) return true;
  RateLimit::Verdict v;
  try {
    std::lock_guard guard(g_limit_lock);
    v = limiter().admit(static_cast<int>(level), target, format, monotonic_us() / 1000);
  } catch (...) {
    return true;
  }
  report_held(v.evicted);
  report_held(v.same);
  return v.pass;
}

void write(Level level, std::string_view target, std::string_view message) noexcept {
  if (!enabled(level)) return;
  try {
    Sink& s = sink();
    std::shared_lock guard(s.lock);
    if (s.cb == nullptr) {
      write_stderr(level, target, message);
      return;
    }
    const std::string t(target);
    const std::string m(message);
    s.cb(static_cast<int>(level), t.c_str(), m.c_str(), s.user);
  } catch (...) {
    // A record that cannot be delivered is dropped.
  }
}

void set_callback(Callback cb, Level max_level, void* user) noexcept {
  int level = static_cast<int>(max_level);
  if (level < 0) level = 0;
  if (level > static_cast<int>(Level::Trace)) level = static_cast<int>(Level::Trace);
  Sink& s = sink();
  std::unique_lock guard(s.lock);
  s.cb = cb;
  s.user = user;
  g_max_level.store(level, std::memory_order_relaxed);
}

}  // namespace mok::log

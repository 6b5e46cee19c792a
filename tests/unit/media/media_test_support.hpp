// Helpers shared by the video decoding tests: loading the scripted decoder
// library with its control block, capturing log records, and reading the
// service's events up to a barrier.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "common/log.hpp"
#include "media/media_library.hpp"
#include "media/video_decode_service.hpp"
#include "mok/mok_log.h"
#include "support/fake_media/fake_media_control.hpp"

namespace mok::media::test {

inline std::string fake_library_path() { return std::string(MOK_FAKE_MEDIA_DIR) + "/" + kMediaLibraryFileName; }

// The scripted library, loaded through the binding, with its control block
// reset for this test.
struct FakeLibrary {
  std::shared_ptr<const MediaLibrary> library;
  FakeMediaControl* control = nullptr;

  FakeLibrary() {
    auto loaded = MediaLibrary::load_path(fake_library_path());
    if (!loaded) {
      ADD_FAILURE() << loaded.error().text();
      return;
    }
    library = std::move(loaded.value());
    void* handle = dlopen(fake_library_path().c_str(), RTLD_LAZY | RTLD_NOLOAD);
    auto fn = reinterpret_cast<FakeMediaControlFn>(dlsym(handle, kFakeMediaControlSymbol));
    control = fn();
    dlclose(handle);
    // No decoding thread of an earlier test uses it any more: each test
    // waits for its thread's end.
    control->~FakeMediaControl();
    new (control) FakeMediaControl();
  }
};

struct LogRecord {
  int level;
  std::string target;
  std::string message;
};

// Collects every record while alive (the decoding thread logs concurrently).
class LogCapture {
 public:
  LogCapture() { mok::log::set_callback(&LogCapture::on_record, mok::log::Level::Trace, this); }
  ~LogCapture() { mok::log::set_callback(nullptr, mok::log::Level::Warn, nullptr); }

  bool has(int level, const std::string& message) const {
    std::lock_guard lock(mutex_);
    for (const auto& r : records_) {
      if (r.level == level && r.message == message) return true;
    }
    return false;
  }
  std::vector<LogRecord> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }

 private:
  static void on_record(int32_t level, const char* target, const char* message, void* user) {
    auto* self = static_cast<LogCapture*>(user);
    std::lock_guard lock(self->mutex_);
    self->records_.push_back({level, target, message});
  }
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
};

// No wait in these tests is meant to run out; the bound only keeps a broken
// service from hanging the suite.
inline constexpr std::chrono::seconds kEventWait{30};

// Posts GetStats and returns every event up to its StatsReply, which comes
// last: the decoding thread handles commands in order, so everything posted
// before has been handled.
inline std::vector<VideoEvent> sync(VideoDecodeService& service, Receiver<VideoEvent>& events) {
  service.post(video_event::GetStats{});
  std::vector<VideoEvent> out;
  for (;;) {
    auto next = events.recv_timeout(kEventWait);
    if (!next) {
      ADD_FAILURE() << "no StatsReply from the decoding thread";
      return out;
    }
    const bool reply = std::holds_alternative<video_event::StatsReply>(*next);
    out.push_back(std::move(*next));
    if (reply) return out;
  }
}

// Every event until the channel ends (the decoding thread has finished).
inline std::vector<VideoEvent> drain_until_closed(Receiver<VideoEvent>& events) {
  std::vector<VideoEvent> out;
  for (;;) {
    auto next = events.recv_timeout(kEventWait);
    if (!next) {
      EXPECT_EQ(next.error(), RecvError::Closed) << "decoding thread did not end";
      return out;
    }
    out.push_back(std::move(*next));
  }
}

template <class T>
std::vector<T> all_of(const std::vector<VideoEvent>& events) {
  std::vector<T> out;
  for (const auto& e : events) {
    if (const T* v = std::get_if<T>(&e)) out.push_back(*v);
  }
  return out;
}

inline SharedBuffer packet(std::vector<uint8_t> bytes) {
  return std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
}

}  // namespace mok::media::test

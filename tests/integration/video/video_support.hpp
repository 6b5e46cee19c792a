// Shared pieces of the live video tests: a camera connection through the C
// interface, a sink that keeps the frame handles the video callback hands
// over, and the comparison of a decoded frame with the picture it came from.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "mok/mok.h"
#include "support/fake_camera.hpp"
#include "support/video_encoder.hpp"

namespace mok::test {

inline constexpr int kSourceWidth = 320;
inline constexpr int kSourceHeight = 240;

// Keeps every frame handle it is given; the test frees them.
class FrameSink {
 public:
  ~FrameSink() { free_all(); }

  static void on_frame(mok_video_frame_t* frame, void* user) { static_cast<FrameSink*>(user)->push(frame); }

  void push(mok_video_frame_t* frame) {
    std::lock_guard lock(m_);
    frames_.push_back(frame);
    cv_.notify_all();
  }
  // Waits until at least `n` frames arrived; a bounded wait, not a timing check.
  bool wait_for(std::size_t n, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, bound, [&] { return frames_.size() >= n; });
  }
  std::size_t count() {
    std::lock_guard lock(m_);
    return frames_.size();
  }
  std::vector<mok_video_frame_t*> frames() {
    std::lock_guard lock(m_);
    return frames_;
  }
  void free_all() {
    std::lock_guard lock(m_);
    for (auto* f : frames_) mok_video_frame_free(f);
    frames_.clear();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<mok_video_frame_t*> frames_;
};

// Encodes `frames` pictures of the moving pattern; fails the test when the
// encoder is missing.
std::vector<test::AccessUnit> encode(test::VideoCodec codec, int frames);

// Mean absolute difference per colour channel between an Rgba frame read
// through the C accessors and the source picture averaged over the matching
// 4 x 4 blocks; negative when the frame cannot be read.
double difference_to_source(const mok_video_frame_t* frame, const test::RgbImage& source);

// A C client connected to a FakeCamera, with the connection up and the
// probe packet it used taken off the camera's queue.
class VideoTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Sends a register report after whatever was sent before and waits until
  // the client applied it: the read loop handles packets in order, so every
  // video packet sent earlier has then been posted to the decoding service.
  void barrier();
  // barrier(), then waits until the decoder has handled every packet posted
  // so far: switching video off discards what it has not yet decoded.
  void settle();
  // Sends each access unit as one packet of `kind` on `stream`.
  void send_units(const std::vector<test::AccessUnit>& units, std::uint8_t kind, std::uint16_t stream = 7);
  // Releases the client now (TearDown then does nothing).
  void close();

  FakeCamera cam;
  FrameSink sink;
  mok_client_t* h = nullptr;
};

}  // namespace mok::test

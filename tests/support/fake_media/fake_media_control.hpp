// The control block of the scripted decoder library used by the service
// tests: the test sets statuses and delays, the library counts every call.
// Shared by the test executable and the library through one exported symbol.
#pragma once

#include <atomic>
#include <cstdint>

struct FakeMediaControl {
  // Statuses the library answers with (0 unless a test says otherwise).
  std::atomic<int32_t> decode_status{0};
  std::atomic<int32_t> set_oformat_status{0};
  std::atomic<int32_t> set_oscale_status{0};
  std::atomic<int32_t> set_icodec_status{0};
  std::atomic<int32_t> flush_status{0};
  std::atomic<int32_t> open_file_status{0};
  std::atomic<int32_t> seek_status{0};
  std::atomic<int32_t> frame_info_status{0};
  std::atomic<bool> new_returns_null{false};
  // Each decode call sleeps this long first.
  std::atomic<int32_t> decode_delay_ms{0};
  // The "file": how many frames it has and the rate it reports.
  std::atomic<int64_t> file_frames{0};
  std::atomic<double> file_frame_rate{0.0};
  // read_frame answers -1 instead of a frame.
  std::atomic<bool> read_fails{false};

  // What the library saw.
  std::atomic<int32_t> decoders_made{0};
  std::atomic<int32_t> decoders_freed{0};
  std::atomic<int32_t> frames_made{0};
  std::atomic<int32_t> frames_freed{0};
  std::atomic<int32_t> decode_calls{0};
  std::atomic<int32_t> close_file_calls{0};
  std::atomic<int32_t> flush_calls{0};
  std::atomic<int32_t> open_file_calls{0};
  std::atomic<int32_t> read_calls{0};
  std::atomic<int64_t> last_decode_arg{-1};
  std::atomic<int32_t> last_oformat{-100};
  std::atomic<float> last_oscale{0.0f};
  std::atomic<uint32_t> last_icodec{0};
  std::atomic<int64_t> last_seek_index{-1};
  std::atomic<int64_t> file_position{0};
};

// Exported by the scripted library; returns its one control block.
extern "C" using FakeMediaControlFn = FakeMediaControl * (*)();
inline constexpr const char* kFakeMediaControlSymbol = "mokfake_control";

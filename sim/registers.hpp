// The camera's registers: identity, image size, exposure, laser and task
// settings, and the two clocks (CTS since power-up, RTS a re-basable
// microsecond clock). Applies received register records and builds the full
// report the camera sends. Thread-safe: the server, the video thread and
// in-process callers read it concurrently.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "common/wire.hpp"

namespace camsim {

namespace reg = mok::wire::reg;

struct DeviceSettings {
  std::string serial_number = "CSIM0001";  // odd lengths reach readers with a pad byte
  std::string board_id = "SIMBOARD-A02";
  std::uint16_t image_width = 1280;
  std::uint16_t image_height = 1024;
  std::uint32_t exposure_time = 1000;
  bool laser_enable = true;
  std::uint32_t laser_strength = 80;
  std::uint32_t task_id = 0;
};

// What a received record did.
struct WriteOutcome {
  bool changed = false;       // a value differs from before
  bool rts_pulled = false;    // the record held an RTS pull request
  std::uint32_t ignored = 0;  // entries for read-only or unknown registers
};

class Registers {
 public:
  // Clocks start from the given monotonic and wall-clock readings (microseconds).
  Registers(DeviceSettings settings, std::uint64_t now_mono_us, std::uint64_t now_unix_us);

  std::uint64_t cts(std::uint64_t now_mono_us) const;
  std::uint64_t rts(std::uint64_t now_mono_us) const;
  void set_rts(std::uint64_t value, std::uint64_t now_mono_us);

  // A copy of the current settings.
  DeviceSettings settings() const;

  // Applies every entry of a register record in order (a later entry for the
  // same register wins, as if written one after the other). Entries for the
  // `ignored` ids are counted as ignored and change nothing.
  WriteOutcome apply_write(std::span<const std::uint8_t> record, std::uint64_t now_mono_us,
                           std::span<const std::uint16_t> ignored = {});

  // The full report as a register record, clocks read at now_mono_us.
  std::vector<std::uint8_t> report(std::uint64_t now_mono_us) const;

 private:
  mutable std::mutex mutex_;
  DeviceSettings s_;
  std::uint64_t boot_mono_us_;
  std::uint64_t rts_base_;  // RTS at rts_base_mono_us_
  std::uint64_t rts_base_mono_us_;
};

}  // namespace camsim

// The client's copy of the device's registers. Registers are learnt only from
// the device's reports; setters never touch the cache, so a getter always
// shows what the device last said.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/wire.hpp"

namespace mok::brelo {

namespace reg = wire::reg;

struct RegCache {
  std::optional<std::uint64_t> cts;
  std::optional<std::uint64_t> rts;
  // Texts keep every byte of the value area, an odd length's pad byte too.
  std::optional<std::string> serial_number;
  std::optional<std::string> board_id;
  std::optional<std::uint32_t> exposure_time;
  std::optional<std::uint32_t> laser_strength;
  std::optional<std::uint32_t> task_id;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::optional<bool> laser_enable;
};

// Applies one register report to the cache. For each known register the first
// entry with its id wins; a value area too short for the register reads as 0
// (false for laser enable) and still counts as reported. Unknown ids and
// registers missing from the report leave the cache as it was.
void apply_report(RegCache& cache, std::span<const std::uint8_t> record);

}  // namespace mok::brelo

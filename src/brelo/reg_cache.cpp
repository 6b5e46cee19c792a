// Report application: turns a received register record into cache fields.
#include "brelo/reg_cache.hpp"

#include "fxr/map_to.hpp"
#include "fxr/reader.hpp"

namespace mok::brelo {

void apply_report(RegCache& cache, std::span<const std::uint8_t> record) {
  const fxr::Reader reader{record};
  // Registers are taken in a fixed order, each by its first entry.
  const auto text = [&](std::uint16_t id, std::optional<std::string>& field) {
    if (auto e = reader.find(id)) {
      field = fxr::map_to<std::string>(e->value);
    }
  };
  const auto number = [&]<class T>(std::uint16_t id, std::optional<T>& field) {
    if (auto e = reader.find(id)) {
      field = fxr::map_to<T>(e->value);
    }
  };
  text(reg::kSerialNumber, cache.serial_number);
  text(reg::kBoardId, cache.board_id);
  number(reg::kExposureTime, cache.exposure_time);
  if (auto e = reader.find(reg::kLaserEnable)) {
    cache.laser_enable = fxr::map_to<std::uint32_t>(e->value) != 0;
  }
  number(reg::kLaserStrength, cache.laser_strength);
  number(reg::kTaskId, cache.task_id);
  number(reg::kCts, cache.cts);
  number(reg::kRts, cache.rts);
  if (auto e = reader.find(reg::kImageWidth)) {
    cache.width = fxr::map_to<std::uint16_t>(e->value);
  }
  if (auto e = reader.find(reg::kImageHeight)) {
    cache.height = fxr::map_to<std::uint16_t>(e->value);
  }
}

}  // namespace mok::brelo

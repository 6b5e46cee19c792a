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
  text(reg::SERIAL_NUMBER, cache.serial_number);
  text(reg::BOARD_ID, cache.board_id);
  number(reg::EXPOSURE_TIME, cache.exposure_time);
  if (auto e = reader.find(reg::LASER_ENABLE)) {
    cache.laser_enable = fxr::map_to<std::uint32_t>(e->value) != 0;
  }
  number(reg::LASER_STRENGTH, cache.laser_strength);
  number(reg::TASK_ID, cache.task_id);
  number(reg::CTS, cache.cts);
  number(reg::RTS, cache.rts);
  if (auto e = reader.find(reg::IMAGE_WIDTH)) {
    cache.width = fxr::map_to<std::uint16_t>(e->value);
  }
  if (auto e = reader.find(reg::IMAGE_HEIGHT)) {
    cache.height = fxr::map_to<std::uint16_t>(e->value);
  }
}

}  // namespace mok::brelo

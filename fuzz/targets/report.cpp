// Register reports from the wire applied to the register cache: a report
// changes exactly the registers it carries (first entry wins), applying it
// twice changes nothing more, and texts keep every value byte.
#include "brelo/reg_cache.hpp"
#include "check.hpp"
#include "fxr/reader.hpp"

using namespace mok;
using namespace mok::brelo;

namespace {

// A cache with every register set to a value no report of the input can
// give for a missing register, so a change shows up.
RegCache prefilled() {
  RegCache c;
  c.cts = 0xC7C7C7C7C7C7C7C7ull;
  c.rts = 0x1111222233334444ull;
  c.serial_number = "before";
  c.board_id = "board";
  c.exposure_time = 0xDEADBEEF;
  c.laser_strength = 0xFEEDFACE;
  c.task_id = 0xABCDEF01;
  c.width = 0x7A7A;
  c.height = 0x5B5B;
  c.laser_enable = true;
  return c;
}

bool same(const RegCache& a, const RegCache& b) {
  return a.cts == b.cts && a.rts == b.rts && a.serial_number == b.serial_number && a.board_id == b.board_id &&
         a.exposure_time == b.exposure_time && a.laser_strength == b.laser_strength && a.task_id == b.task_id &&
         a.width == b.width && a.height == b.height && a.laser_enable == b.laser_enable;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> record(data, size);
  const fxr::Reader reader(record);
  const RegCache before = prefilled();
  RegCache cache = before;
  apply_report(cache, record);

  const auto check_number = [&](uint16_t id, const auto& field, const auto& old) {
    auto e = reader.find(id);
    if (!e) {
      FUZZ_CHECK(field == old);
      return;
    }
    using T = std::remove_cvref_t<decltype(*field)>;
    FUZZ_CHECK(field.has_value() && *field == *reader.peek<T>(id));
  };
  check_number(reg::kCts, cache.cts, before.cts);
  check_number(reg::kRts, cache.rts, before.rts);
  check_number(reg::kExposureTime, cache.exposure_time, before.exposure_time);
  check_number(reg::kLaserStrength, cache.laser_strength, before.laser_strength);
  check_number(reg::kTaskId, cache.task_id, before.task_id);
  if (reader.find(reg::kLaserEnable)) {
    FUZZ_CHECK(cache.laser_enable == (*reader.peek<uint32_t>(reg::kLaserEnable) != 0));
  } else {
    FUZZ_CHECK(cache.laser_enable == before.laser_enable);
  }
  FUZZ_CHECK(cache.width ==
             (reader.find(reg::kImageWidth) ? *reader.peek<uint16_t>(reg::kImageWidth) : before.width));
  FUZZ_CHECK(cache.height ==
             (reader.find(reg::kImageHeight) ? *reader.peek<uint16_t>(reg::kImageHeight) : before.height));
  const auto check_text = [&](uint16_t id, const std::optional<std::string>& field,
                              const std::optional<std::string>& old) {
    if (auto e = reader.find(id)) {
      FUZZ_CHECK(field.has_value() && *field == *reader.peek_text(id));
      FUZZ_CHECK(field->size() >= e->value.size());
    } else {
      FUZZ_CHECK(field == old);
    }
  };
  check_text(reg::kSerialNumber, cache.serial_number, before.serial_number);
  check_text(reg::kBoardId, cache.board_id, before.board_id);

  RegCache twice = cache;
  apply_report(twice, record);
  FUZZ_CHECK(same(twice, cache));
  return 0;
}

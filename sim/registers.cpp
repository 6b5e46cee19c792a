// Register application and reports on top of the library's own record codec,
// so the simulator and the client can never disagree on the entry layout.
#include "registers.hpp"

#include <algorithm>

#include "fxr/builder.hpp"
#include "fxr/reader.hpp"

namespace camsim {
namespace {

// Values shorter than the register reads as 0, as the client does; an RTS may
// also arrive as a 32-bit entry from a writer that only has those.
std::uint64_t read_le(std::span<const std::uint8_t> v, std::size_t width) {
  if (v.size() < width) return 0;
  std::uint64_t out = 0;
  for (std::size_t i = width; i-- > 0;) out = (out << 8) | v[i];
  return out;
}

template <class T>
void set(T& field, T value, bool& changed) {
  if (field != value) changed = true;
  field = value;
}

}  // namespace

Registers::Registers(DeviceSettings settings, std::uint64_t now_mono_us, std::uint64_t now_unix_us)
    : s_(std::move(settings)),
      boot_mono_us_(now_mono_us),
      rts_base_(now_unix_us),
      rts_base_mono_us_(now_mono_us) {}

std::uint64_t Registers::cts(std::uint64_t now_mono_us) const {
  std::lock_guard lock(mutex_);
  return now_mono_us - boot_mono_us_;
}

std::uint64_t Registers::rts(std::uint64_t now_mono_us) const {
  std::lock_guard lock(mutex_);
  return rts_base_ + (now_mono_us - rts_base_mono_us_);
}

void Registers::set_rts(std::uint64_t value, std::uint64_t now_mono_us) {
  std::lock_guard lock(mutex_);
  rts_base_ = value;
  rts_base_mono_us_ = now_mono_us;
}

DeviceSettings Registers::settings() const {
  std::lock_guard lock(mutex_);
  return s_;
}

WriteOutcome Registers::apply_write(std::span<const std::uint8_t> record, std::uint64_t now_mono_us,
                                    std::span<const std::uint16_t> ignored) {
  std::lock_guard lock(mutex_);
  WriteOutcome out;
  mok::fxr::RegisterIter it(record);
  while (auto e = it.next()) {
    if (std::find(ignored.begin(), ignored.end(), e->id) != ignored.end()) {
      ++out.ignored;
      continue;
    }
    const auto u32 = [&] { return static_cast<std::uint32_t>(read_le(e->value, 4)); };
    switch (e->id) {
      case reg::kExposureTime:
        set(s_.exposure_time, u32(), out.changed);
        break;
      case reg::kLaserEnable:
        set(s_.laser_enable, u32() != 0, out.changed);
        break;
      case reg::kLaserStrength:
        set(s_.laser_strength, u32(), out.changed);
        break;
      case reg::kTaskId:
        set(s_.task_id, u32(), out.changed);
        break;
      case reg::kRts: {
        const std::uint64_t v = e->value.size() >= 8 ? read_le(e->value, 8) : read_le(e->value, 4);
        rts_base_ = v;
        rts_base_mono_us_ = now_mono_us;
        out.changed = true;
        break;
      }
      case reg::kRtsPull:
        out.rts_pulled = true;
        break;
      default:
        ++out.ignored;
        break;
    }
  }
  return out;
}

std::vector<std::uint8_t> Registers::report(std::uint64_t now_mono_us) const {
  std::lock_guard lock(mutex_);
  mok::fxr::Builder b;
  b.push<std::uint64_t>(reg::kCts, now_mono_us - boot_mono_us_);
  b.push<std::uint64_t>(reg::kRts, rts_base_ + (now_mono_us - rts_base_mono_us_));
  // Identity texts longer than an entry holds are cut to fit rather than dropped.
  const auto text = [&](std::uint16_t id, const std::string& t) {
    (void)b.push(id, std::string_view(t).substr(0, mok::fxr::kMaxValueBytes));
  };
  text(reg::kSerialNumber, s_.serial_number);
  text(reg::kBoardId, s_.board_id);
  b.push<std::uint16_t>(reg::kImageWidth, s_.image_width);
  b.push<std::uint16_t>(reg::kImageHeight, s_.image_height);
  b.push<std::uint32_t>(reg::kExposureTime, s_.exposure_time);
  b.push<std::uint32_t>(reg::kLaserEnable, s_.laser_enable ? 1u : 0u);
  b.push<std::uint32_t>(reg::kLaserStrength, s_.laser_strength);
  b.push<std::uint32_t>(reg::kTaskId, s_.task_id);
  return std::move(b).into_bytes();
}

}  // namespace camsim

// One slot per kind, chosen by the address of its format text; a kind that
// lands on an occupied slot takes it over and hands back what the old one
// still had held.
#include "common/log_limit.hpp"

#include <functional>
#include <utility>

namespace mok::log {

RateLimit::Verdict RateLimit::admit(int level, std::string_view target, std::string_view format,
                                    std::uint64_t now_ms) noexcept {
  Verdict v;
  const std::size_t at = (std::hash<const void*>{}(format.data()) ^ std::hash<const void*>{}(target.data())) % SLOTS;
  Slot& slot = slots_[at];
  if (slot.kind.format.data() != format.data() || slot.kind.target.data() != target.data() ||
      slot.kind.level != level) {
    v.evicted = slot.kind;
    slot = Slot{Held{target, format, level, 0}, now_ms, 0};
  }
  if (now_ms - slot.window_start >= WINDOW_MS) {
    slot.window_start = now_ms;
    slot.in_window = 0;
  }
  if (slot.in_window >= PER_WINDOW) {
    ++slot.kind.count;
    v.pass = false;
    return v;
  }
  ++slot.in_window;
  v.same = slot.kind;
  slot.kind.count = 0;
  return v;
}

}  // namespace mok::log

// One slot per kind, looked for among a few chosen by the address of its
// format text; a kind that finds them all taken takes over the one quiet the
// longest and hands back what that one still had held.
#include "common/log_limit.hpp"

#include <functional>
#include <utility>

namespace mok::log {

RateLimit::Verdict RateLimit::admit(int level, std::string_view target, std::string_view format,
                                    std::uint64_t now_ms) noexcept {
  Verdict v;
  const auto same_kind = [&](const Slot& s) {
    return s.kind.format.data() == format.data() && s.kind.target.data() == target.data() && s.kind.level == level;
  };
  // A few neighbouring slots make room for kinds whose addresses collide;
  // only when all are taken does the one quiet the longest give way.
  const std::size_t first =
      (std::hash<const void*>{}(format.data()) ^ std::hash<const void*>{}(target.data())) % kSlots;
  Slot* slot = nullptr;
  Slot* oldest = &slots_[first];
  for (std::size_t i = 0; i < kProbes && slot == nullptr; ++i) {
    Slot& s = slots_[(first + i) % kSlots];
    if (same_kind(s)) {
      slot = &s;
    } else if (s.kind.format.data() == nullptr) {
      s = Slot{Held{target, format, level, 0}, now_ms, 0};
      slot = &s;
    } else if (s.window_start < oldest->window_start) {
      oldest = &s;
    }
  }
  if (slot == nullptr) {
    v.evicted = oldest->kind;
    *oldest = Slot{Held{target, format, level, 0}, now_ms, 0};
    slot = oldest;
  }
  if (now_ms - slot->window_start >= kWindowMs) {
    slot->window_start = now_ms;
    slot->in_window = 0;
  }
  if (slot->in_window >= kPerWindow) {
    ++slot->kind.count;
    v.pass = false;
    return v;
  }
  ++slot->in_window;
  v.same = slot->kind;
  slot->kind.count = 0;
  return v;
}

}  // namespace mok::log

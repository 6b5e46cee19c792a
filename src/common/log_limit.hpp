// Rate limit of repeated log records. A peer that sends garbage can make the
// library log once per packet; records of one kind (same target and format
// text) pass at most kPerWindow times a second, and the ones held back are
// counted so that the next one to pass can say how many there were. Pure:
// the caller passes the time and locks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mok::log {

class RateLimit {
 public:
  static constexpr std::uint64_t kWindowMs = 1000;
  static constexpr std::uint32_t kPerWindow = 10;
  static constexpr std::size_t kSlots = 64;
  static constexpr std::size_t kProbes = 4;

  // A kind of record and how many of it were held back.
  struct Held {
    std::string_view target;
    std::string_view format;
    int level = 0;
    std::uint64_t count = 0;
  };
  struct Verdict {
    bool pass = true;
    // Held back records to report before this one: of this kind, and of the
    // kind whose slot this one took over (counts of 0 mean none).
    Held same;
    Held evicted;
  };

  // Kinds are told apart by where their texts live (format strings and
  // targets are literals), so both views must outlive the limiter.
  Verdict admit(int level, std::string_view target, std::string_view format, std::uint64_t now_ms) noexcept;

 private:
  struct Slot {
    Held kind;
    std::uint64_t window_start = 0;
    std::uint32_t in_window = 0;
  };
  std::array<Slot, kSlots> slots_{};
};

}  // namespace mok::log

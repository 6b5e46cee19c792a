// Placing a pose log's holds on a recording by the profiles' stillness: the
// offset is found to the millisecond over a long search, and a recording
// that is as still during the moves as during the holds is refused.
#include "hold_alignment.hpp"

#include <cmath>

#include <gtest/gtest.h>

namespace mokctl {
namespace {

constexpr std::int64_t kMs = 1'000'000;

// Holds of 300 ms every 600 ms on the pose log's time line, and a recording
// (a profile every 2 ms over 12 s) that is still where the holds fall once
// shifted by `offset_ns`, moving elsewhere.
struct Recorded {
  std::vector<Hold> holds;
  std::vector<std::int64_t> t_ns;
  std::vector<double> change_mm;

  Recorded(std::int64_t offset_ns, double still_mm, double moving_mm) {
    for (int k = 0; k < 12; ++k) holds.push_back({(500 + 600 * k) * kMs, (800 + 600 * k) * kMs});
    for (std::int64_t t = 0; t < 12'000 * kMs; t += 2 * kMs) {
      bool still = false;
      for (const Hold& h : holds) still |= t >= h.start_ns + offset_ns && t < h.end_ns + offset_ns;
      t_ns.push_back(t);
      change_mm.push_back(t == 0 ? NAN : still ? still_mm : moving_mm);
    }
  }
};

TEST(HoldAlignment, FindsTheOffsetWhereTheHoldsAreStill) {
  for (std::int64_t offset : {-237 * kMs, 0 * kMs, 1'411 * kMs}) {
    const Recorded r(offset, 0.02, 0.6);
    const Alignment a = align_holds(r.holds, r.t_ns, r.change_mm, INT64_MIN / 2, INT64_MAX / 2, 80 * kMs);
    ASSERT_TRUE(a.ok) << a.reason;
    EXPECT_NEAR(static_cast<double>(a.offset_ns), static_cast<double>(offset), 2.0 * kMs);
    EXPECT_LT(a.hold_change_mm, 0.05);
    EXPECT_GT(a.between_change_mm, 0.3);
  }
}

TEST(HoldAlignment, RefusesWhatNoOffsetExplains) {
  const Recorded flat(0, 0.3, 0.3);
  const Alignment a = align_holds(flat.holds, flat.t_ns, flat.change_mm, -kMs * 1000, kMs * 1000, 80 * kMs);
  EXPECT_FALSE(a.ok);
  EXPECT_NE(a.reason.find("no offset"), std::string::npos) << a.reason;
  EXPECT_FALSE(align_holds({}, flat.t_ns, flat.change_mm, 0, 0, 0).ok);
}

}  // namespace
}  // namespace mokctl

// Points without a laser return decode to the profile's lowest corner (the
// payload's offsets, negated), not to zero: the point clouds leave out that
// corner when it repeats and keep it when it is one measurement.
#include <vector>

#include <gtest/gtest.h>

#include "point_files.hpp"

namespace mokctl {
namespace {

TEST(NoReturn, ARepeatedLowestCornerMarksMissingPointsAndALoneOneIsKept) {
  const mok::Point missing{0, -100.0f, -50.0f, 0};
  const std::vector<mok::Point> with_gaps{missing, {0, -12.5f, 80.0f, 0}, missing, {0, 3.0f, 81.0f, 0}, missing};
  const NoReturn none = no_return_in(with_gaps);
  std::size_t kept = 0;
  for (const mok::Point& p : with_gaps) kept += !none.is(p);
  EXPECT_EQ(kept, 2u);

  // Every point measured: the lowest one is a measurement, and zero is too.
  const std::vector<mok::Point> measured{{0, -4.0f, 70.0f, 0}, {0, 0.0f, 0.0f, 0}, {0, 5.0f, 71.0f, 0}};
  const NoReturn no_gaps = no_return_in(measured);
  for (const mok::Point& p : measured) EXPECT_FALSE(no_gaps.is(p)) << p.y;
  EXPECT_FALSE(no_return_in(std::vector<mok::Point>{}).marked);
}

}  // namespace
}  // namespace mokctl

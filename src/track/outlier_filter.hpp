// Rejects seam points that jump away from their neighbours (spatter,
// reflections): a Hampel filter, median plus or minus k robust deviations
// over the last few points, on the seam's lateral and vertical offsets.
#pragma once

#include <cstddef>
#include <vector>

namespace mok::track {

struct OutlierSettings {
  std::size_t window = 15;  // 0: no filtering
  double k = 3.0;
  double min_deviation = 0.2;  // never reject closer than this (quantised, noiseless input)
};

class OutlierFilter {
 public:
  explicit OutlierFilter(OutlierSettings settings = {});

  // Takes the offsets (y, z) of the next point in the sensor's laser plane,
  // relative to where the sensor is on its path, and tells whether it is
  // kept. Rejected points stay in the window: after a real step in the seam
  // the median follows once half the window has seen it.
  bool accept(double y, double z);
  void clear();

 private:
  bool is_outlier(const std::vector<double>& values, double v);

  OutlierSettings settings_;
  std::vector<double> ys_, zs_;  // rings of the last `window` offsets
  std::size_t next_ = 0;
  std::vector<double> scratch_;
};

}  // namespace mok::track

// The Hampel filter over the last few seam offsets.
#include "track/outlier_filter.hpp"

#include <algorithm>
#include <cmath>

namespace mok::track {
namespace {

// The scale factor that turns a median absolute deviation into a standard
// deviation for normally distributed values.
constexpr double kMadToSigma = 1.4826;
// Below this many points the median says too little to reject anything.
constexpr std::size_t kMinPoints = 5;

double median_of(std::vector<double>& v) {
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  if (v.size() % 2 == 1) return *mid;
  return 0.5 * (*mid + *std::max_element(v.begin(), mid));
}

}  // namespace

OutlierFilter::OutlierFilter(OutlierSettings settings) : settings_(settings) {
  ys_.reserve(settings_.window);
  zs_.reserve(settings_.window);
  scratch_.reserve(settings_.window);
}

void OutlierFilter::clear() {
  ys_.clear();
  zs_.clear();
  next_ = 0;
}

bool OutlierFilter::is_outlier(const std::vector<double>& values, double v) {
  scratch_.assign(values.begin(), values.end());
  const double median = median_of(scratch_);
  for (double& x : scratch_) x = std::abs(x - median);
  const double sigma = kMadToSigma * median_of(scratch_);
  return std::abs(v - median) > std::max(settings_.k * sigma, settings_.min_deviation);
}

bool OutlierFilter::accept(double y, double z) {
  if (settings_.window == 0) return true;
  if (ys_.size() < settings_.window) {
    ys_.push_back(y);
    zs_.push_back(z);
  } else {
    ys_[next_] = y;
    zs_[next_] = z;
    next_ = (next_ + 1) % settings_.window;
  }
  if (ys_.size() < kMinPoints) return true;
  return !is_outlier(ys_, y) && !is_outlier(zs_, z);
}

}  // namespace mok::track

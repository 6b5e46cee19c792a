// Seam path: binned sums by distance, and the local fit a query runs on them.
#include "track/seam_path.hpp"

#include <algorithm>
#include <cmath>

namespace mok::track {

std::int64_t SeamPath::index_of(double s) const {
  // A distance a host asks for may be anything: one outside the index's range
  // (or NaN) lands on an end, where nothing was ever scanned.
  constexpr double kLimit = 4e18;
  const double bin = std::floor(s / settings_.resolution_mm);
  if (bin >= -kLimit && bin <= kLimit) return static_cast<std::int64_t>(bin);
  return bin > 0 ? static_cast<std::int64_t>(kLimit) : -static_cast<std::int64_t>(kLimit);
}

double SeamPath::centre_of(std::int64_t index) const {
  return (static_cast<double>(index) + 0.5) * settings_.resolution_mm;
}

void SeamPath::clear() {
  bins_.clear();
  first_kept_.reset();
  last_scanned_.reset();
}

void SeamPath::scanned(double s) {
  if (!last_scanned_ || s > *last_scanned_) last_scanned_ = s;
  trim();
}

void SeamPath::add(double s, const Eigen::Vector3d& p_base) {
  const std::int64_t index = index_of(s);
  const auto span = static_cast<std::int64_t>(settings_.memory_mm / settings_.resolution_mm) + 1;
  if (bins_.empty() || index >= first_index_ + static_cast<std::int64_t>(bins_.size()) + span) {
    // First point, or a jump further than the memory: start over there.
    bins_.assign(1, Bin{});
    first_index_ = index;
    first_kept_ = s;
  }
  if (index < first_index_) {
    if (first_index_ - index > span) return;  // behind what is kept
    bins_.insert(bins_.begin(), static_cast<std::size_t>(first_index_ - index), Bin{});
    first_index_ = index;
  }
  const auto offset = static_cast<std::size_t>(index - first_index_);
  if (offset >= bins_.size()) bins_.resize(offset + 1);
  Bin& b = bins_[offset];
  const double u = s - centre_of(index);
  b.n += 1;
  b.su += u;
  b.suu += u * u;
  b.sp += p_base;
  b.sup += u * p_base;
  if (!first_kept_ || s < *first_kept_) first_kept_ = s;
  scanned(s);
}

void SeamPath::trim() {
  if (!last_scanned_ || bins_.empty()) return;
  const std::int64_t keep_from = index_of(*last_scanned_ - settings_.memory_mm);
  while (!bins_.empty() && first_index_ < keep_from) {
    bins_.pop_front();
    ++first_index_;
  }
  if (bins_.empty()) {
    first_kept_.reset();
  } else if (first_kept_ && *first_kept_ < centre_of(first_index_) - 0.5 * settings_.resolution_mm) {
    first_kept_ = centre_of(first_index_) - 0.5 * settings_.resolution_mm;
  }
}

SeamAt SeamPath::at(double s) const {
  if (!first_kept_ || s < *first_kept_ || s > *last_scanned_) return {SeamStatus::NotYetScanned, {}};
  const double half = 0.5 * settings_.smoothing_mm;
  const std::int64_t lo = std::max(index_of(s - half), first_index_);
  const std::int64_t hi = std::min(index_of(s + half), first_index_ + static_cast<std::int64_t>(bins_.size()) - 1);
  // Sums over the window, distances re-centred on s.
  double n = 0, su = 0, suu = 0;
  Eigen::Vector3d sp = Eigen::Vector3d::Zero(), sup = Eigen::Vector3d::Zero();
  for (std::int64_t i = lo; i <= hi; ++i) {
    const Bin& b = bins_[static_cast<std::size_t>(i - first_index_)];
    if (b.n == 0) continue;
    const double d = centre_of(i) - s;
    n += b.n;
    su += b.su + b.n * d;
    suu += b.suu + 2 * d * b.su + b.n * d * d;
    sp += b.sp;
    sup += b.sup + d * b.sp;
  }
  if (n == 0) return {SeamStatus::Gap, {}};
  const double det = n * suu - su * su;
  // A slope needs the points spread over a tenth of the window at least.
  const double min_spread = 0.1 * settings_.smoothing_mm;
  if (n < 3 || det <= n * n * min_spread * min_spread) return {SeamStatus::Ok, sp / n};
  return {SeamStatus::Ok, (suu * sp - su * sup) / det};
}

std::optional<double> SeamPath::first() const { return first_kept_; }
std::optional<double> SeamPath::last() const { return first_kept_ ? last_scanned_ : std::nullopt; }

}  // namespace mok::track

// Aligning a pose log's holds with a recording's still stretches (see
// hold_alignment.hpp).
#include "hold_alignment.hpp"

#include <algorithm>
#include <cmath>

#include "session.hpp"

namespace mokctl {
namespace {

// A change above this is motion whatever its size; the cap keeps one
// column's jump from outweighing the rest.
constexpr double kCapMm = 1.0;
// The holds' profiles must change at most this share of the others'.
constexpr double kStillShare = 0.5;

}  // namespace

double profile_change(std::span<const mok::Point> before, std::span<const mok::Point> now) {
  const std::size_t n = std::min(before.size(), now.size());
  std::size_t seen = std::max(before.size(), now.size()) - n;
  double sum = kCapMm * static_cast<double>(seen);
  for (std::size_t i = 0; i < n; ++i) {
    // A column without a laser return decodes to a z of 0 or below.
    const bool a = before[i].z > 0, b = now[i].z > 0;
    if (!a && !b) continue;
    ++seen;
    sum += a != b ? kCapMm : std::min(kCapMm, static_cast<double>(std::fabs(now[i].z - before[i].z)));
  }
  return seen ? sum / static_cast<double>(seen) : NAN;
}

Alignment align_holds(const std::vector<Hold>& holds, const std::vector<std::int64_t>& t_ns,
                      const std::vector<double>& change_mm, std::int64_t lo_ns, std::int64_t hi_ns,
                      std::int64_t guard_ns) {
  Alignment out;
  if (holds.empty() || t_ns.empty()) {
    out.reason = holds.empty() ? "the pose log has no hold" : "the recording holds no profiles";
    return out;
  }
  lo_ns = std::max(lo_ns, t_ns.front() - holds.front().start_ns);
  hi_ns = std::min(hi_ns, t_ns.back() - holds.back().end_ns);
  if (lo_ns > hi_ns) {
    out.reason = "the holds do not fit in the recording's profiles at any offset searched";
    return out;
  }
  // Prefix sums of the known changes and of their count.
  std::vector<double> sum(change_mm.size() + 1, 0.0), known(change_mm.size() + 1, 0.0);
  for (std::size_t i = 0; i < change_mm.size(); ++i) {
    const bool k = std::isfinite(change_mm[i]);
    sum[i + 1] = sum[i] + (k ? change_mm[i] : 0);
    known[i + 1] = known[i] + (k ? 1 : 0);
  }
  const auto index = [&](std::int64_t t) {
    return static_cast<std::size_t>(std::lower_bound(t_ns.begin(), t_ns.end(), t) - t_ns.begin());
  };
  // The mean change inside the holds shifted by `offset`, each hold weighing
  // alike; `between` gets the mean change between the first hold and the
  // last outside them, where the robot moved.
  const auto score = [&](std::int64_t offset, double& between) {
    double total = 0, in_sum = 0, in_known = 0;
    std::size_t counted = 0;
    for (const Hold& h : holds) {
      const std::size_t a = index(h.start_ns + offset + guard_ns), b = index(h.end_ns + offset - guard_ns);
      if (known[b] > known[a]) {
        total += (sum[b] - sum[a]) / (known[b] - known[a]);
        ++counted;
      }
      const std::size_t ua = index(h.start_ns + offset), ub = index(h.end_ns + offset);
      in_sum += sum[ub] - sum[ua];
      in_known += known[ub] - known[ua];
    }
    const std::size_t first = index(holds.front().start_ns + offset), last = index(holds.back().end_ns + offset);
    const double moved = known[last] - known[first] - in_known;
    between = moved > 0 ? (sum[last] - sum[first] - in_sum) / moved : 0;
    return counted ? total / static_cast<double>(counted) : INFINITY;
  };
  // Stillness in the holds alone would match them with any still stretch
  // (the next hold, the rest after the program): the moves between them
  // must fall where the profiles change.
  double best = INFINITY;
  const auto search = [&](std::int64_t from, std::int64_t to, std::int64_t step) {
    for (std::int64_t o = std::max(from, lo_ns); o <= std::min(to, hi_ns); o += step) {
      double between = 0;
      const double s = score(o, between);
      if (between > 0 && s / between < best) {
        best = s / between;
        out.offset_ns = o;
        out.hold_change_mm = s;
        out.between_change_mm = between;
      }
    }
  };
  // A long span is searched coarsely first (a hold is far longer than the
  // coarse step), then in 1 ms steps around the best.
  constexpr std::int64_t kStepNs = 1'000'000, kMaxSteps = 20'000;
  const std::int64_t coarse = std::max(kStepNs, (hi_ns - lo_ns) / kMaxSteps / kStepNs * kStepNs);
  search(lo_ns, hi_ns, coarse);
  if (coarse > kStepNs && std::isfinite(best)) search(out.offset_ns - coarse, out.offset_ns + coarse, kStepNs);
  out.ok = best <= kStillShare;
  if (!out.ok)
    out.reason = format(
        "no offset explains the holds: at the best, the profiles change %.3f mm during them and "
        "%.3f mm between them",
        out.hold_change_mm, out.between_change_mm);
  return out;
}

}  // namespace mokctl

// What the tracker takes from outside: robot pose datagrams off the network,
// scan fields from a camera and a mounting file from disk. Whatever the
// bytes, every answer is a documented status, every OK correction is
// finite, and the counters add up to what was pushed.
#include <cmath>
#include <cstring>
#include <string_view>

#include "check.hpp"
#include "mok/mok_track.h"
#include "track/mount_file.hpp"

namespace {

constexpr std::int64_t kMs = 1'000'000;

double f64(mok::fuzz::Control& in) {
  double v = 0;
  const auto bytes = in.take(sizeof v);
  std::memcpy(&v, bytes.data(), bytes.size());
  return v;
}

bool status_known(std::int32_t s) { return s >= MOK_TRACK_OK && s <= MOK_TRACK_NO_CLOCK; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto mount = mok::track::parse_mount(std::string_view(reinterpret_cast<const char*>(data), size));
  if (mount) {
    FUZZ_CHECK(std::abs(mount.value().q.norm() - 1.0) < 1e-12 && mount.value().p.allFinite());
  } else {
    FUZZ_CHECK(!mount.error().empty() && mount.error()[0] >= '1' && mount.error()[0] <= '9');
  }

  mok_tracker_config_t config;
  mok_tracker_config_init(&config);
  config.poses_carry_robot_clock = size > 0 ? data[0] & 1 : 1;
  mok_tracker_t* tracker = mok_tracker_create(&config);
  FUZZ_CHECK(tracker != nullptr);
  mok::fuzz::Control in(data, size);
  std::int64_t now = 0;
  std::uint64_t poses = 0, refused = 0, results = 0;
  while (in.remaining() > 0) {
    now += (in.u8() + 1) * kMs / 4;
    switch (in.u8() % 3) {
      case 0: {
        const auto bytes = in.take(in.u8() % 2 ? MOK_POSE_DATAGRAM_SIZE : in.u8());
        const std::int32_t rc = mok_tracker_push_pose_datagram(tracker, bytes.data(), bytes.size(), now, nullptr);
        FUZZ_CHECK(rc == MOK_OK || (rc <= MOK_TRACK_ERR_BAD_POSE && rc >= MOK_TRACK_ERR_BAD_DATAGRAM));
        ++(rc == MOK_OK ? poses : refused);
        break;
      }
      case 1: {
        const double y = f64(in), z = f64(in);
        FUZZ_CHECK(mok_tracker_push_seam(tracker, static_cast<std::uint64_t>(now / 1000) + in.u16(), now,
                                         in.u8() & 1, y, z, 1, 1, 1) == MOK_OK);
        ++results;
        break;
      }
      default: {
        mok_correction_t c;
        const std::int32_t s = mok_tracker_correction(tracker, nullptr, now, &c);
        FUZZ_CHECK(status_known(s) && s == c.status);
        if (s == MOK_TRACK_OK) FUZZ_CHECK(std::isfinite(c.lateral_mm) && std::isfinite(c.vertical_mm));
        double p[3];
        FUZZ_CHECK(status_known(mok_tracker_seam_at(tracker, f64(in), p)));
      }
    }
  }
  mok_tracker_stats_t st;
  FUZZ_CHECK(mok_tracker_get_stats(tracker, &st, sizeof st) == MOK_OK);
  FUZZ_CHECK(st.poses_accepted == poses && st.results_pushed == results);
  FUZZ_CHECK(st.poses_bad + st.poses_future + st.poses_past + st.poses_duplicate + st.datagrams_refused ==
             refused);
  FUZZ_CHECK(st.results_used + st.results_not_found + st.results_gated + st.results_outliers + st.results_stale +
                 st.results_dropped + st.results_pending ==
             results);
  mok_tracker_free(tracker);
  return 0;
}

// The viewer's decisions and data handling, without a server or a camera.
#include <string>

#include <gtest/gtest.h>

#include "access.hpp"
#include "exports.hpp"
#include "live_state.hpp"
#include "status_json.hpp"

namespace mokctl::view {
namespace {

TEST(ViewAccess, ActionsNeedThePageHeaderAndTheTokenWhereOneIsRequired) {
  AccessPolicy open{"127.0.0.1", 8080, false, false, ""};
  EXPECT_FALSE(open.refuse_action(true, ""));
  EXPECT_TRUE(open.refuse_action(false, ""));  // a plain form post from another site

  AccessPolicy guarded{"0.0.0.0", 8080, false, true, "s3cret"};
  EXPECT_FALSE(guarded.refuse_action(true, "s3cret"));
  EXPECT_TRUE(guarded.refuse_action(true, ""));
  EXPECT_TRUE(guarded.refuse_action(true, "s3cre"));

  AccessPolicy read_only{"127.0.0.1", 8080, true, false, ""};
  EXPECT_NE(read_only.refuse_action(true, "")->find("--read-only"), std::string::npos);
}

TEST(ViewAccess, WrongTokensFromOneAddressAreTurnedAwayForAWindow) {
  TokenFailures f;
  for (std::uint32_t i = 0; i < TokenFailures::kAllowed; ++i) {
    EXPECT_FALSE(f.blocked("10.0.0.9", 1000));
    f.failed("10.0.0.9", 1000 + i);
  }
  EXPECT_TRUE(f.blocked("10.0.0.9", 2000));
  EXPECT_FALSE(f.blocked("10.0.0.8", 2000));  // others are not punished for it
  EXPECT_FALSE(f.blocked("10.0.0.9", 1000 + TokenFailures::kWindowMs));
  for (std::size_t i = 0; i < TokenFailures::kAddresses + 10; ++i) f.failed(std::to_string(i), 5000);
  f.failed("10.0.0.7", 5000);  // a full table still takes a newcomer
}

TEST(ViewAccess, LoopbackListenerAcceptsOnlyLoopbackHostNames) {
  EXPECT_TRUE(is_loopback("127.0.0.2"));
  EXPECT_TRUE(is_loopback("::1"));
  EXPECT_TRUE(is_loopback("localhost"));
  EXPECT_FALSE(is_loopback("0.0.0.0"));
  EXPECT_FALSE(is_loopback("192.168.10.4"));
  EXPECT_FALSE(is_loopback("127.example.com"));

  AccessPolicy open{"127.0.0.1", 8080, false, false, ""};
  EXPECT_TRUE(open.host_allowed("127.0.0.1:8080"));
  EXPECT_TRUE(open.host_allowed("localhost:8080"));
  EXPECT_TRUE(open.host_allowed("[::1]:8080"));
  EXPECT_FALSE(open.host_allowed("attacker.example:8080"));  // a rebound name
  EXPECT_FALSE(open.host_allowed(""));
  AccessPolicy guarded{"0.0.0.0", 8080, false, true, "t"};
  EXPECT_TRUE(guarded.host_allowed("cell-7.plant.lan:8080"));  // the token protects it
}

TEST(ViewParams, AcceptsWholeNumbersInRangeAndLaserWords) {
  EXPECT_EQ(std::get<std::uint32_t>(parse_value(Param::Exposure, "0")), 0u);
  EXPECT_EQ(std::get<std::uint32_t>(parse_value(Param::Task, "4294967295")), 4294967295u);
  EXPECT_EQ(std::get<std::uint32_t>(parse_value(Param::Laser, "off")), 0u);
  EXPECT_EQ(std::get<std::uint32_t>(parse_value(Param::Laser, "on")), 1u);
  for (const char* bad : {"4294967296", "-1", "1e3", "", " 5", "12a", "99999999999999999999"}) {
    auto r = parse_value(Param::Strength, bad);
    ASSERT_TRUE(std::holds_alternative<std::string>(r)) << bad;
    EXPECT_NE(std::get<std::string>(r).find("laser strength"), std::string::npos);
  }
  EXPECT_TRUE(std::holds_alternative<std::string>(parse_value(Param::Laser, "maybe")));
  EXPECT_FALSE(param_from_name("gain"));
  EXPECT_EQ(param_from_name("task"), Param::Task);
}

Profile profile(double t, std::size_t points, bool seam = true) {
  Profile p;
  p.t_s = t;
  p.seam_found = seam;
  p.seam = {static_cast<float>(t), -8};
  for (std::size_t i = 0; i < points; ++i) p.points.push_back({static_cast<float>(i), 0});
  return p;
}

TEST(ViewHistory, KeepsTheRecentProfilesWithinItsAgeAndPointBudget) {
  LiveState live({.seconds = 1.0, .points = 1000, .trail = 5, .trail_interval_s = 0.05});
  for (int i = 0; i < 30; ++i) live.push(profile(0.1 * i, 100), i % 2 ? 2.0 : -1);
  const auto kept = live.history(1e6);
  ASSERT_FALSE(kept.empty());
  std::size_t points = 0;
  for (const auto& p : kept) points += p.points.size();
  EXPECT_LE(points, 1000u);
  EXPECT_DOUBLE_EQ(kept.back().t_s, 0.1 * 29);
  EXPECT_GE(kept.front().t_s, 0.1 * 29 - 1.0 - 1e-9);

  const LiveCopy c = live.copy();
  EXPECT_EQ(c.results, 30u);
  EXPECT_EQ(c.latency_n, 15u);
  EXPECT_EQ(c.trail.size(), 5u);
  EXPECT_FLOAT_EQ(c.trail.back().y, static_cast<float>(0.1 * 29));
  ASSERT_TRUE(c.latest);
  EXPECT_EQ(c.latest->points.size(), 100u);
  EXPECT_TRUE(live.copy(false).latest->points.empty());
}

TEST(ViewHistory, TheNewestProfileStaysEvenWhenAloneOverBudget) {
  LiveState live({.seconds = 1.0, .points = 10});
  live.push(profile(0, 50), -1);
  live.push(profile(0.01, 50), -1);
  EXPECT_EQ(live.history(1e6).size(), 1u);
  EXPECT_EQ(live.copy().evicted, 1u);  // let go early, and counted
}

TEST(ViewDocument, DecimationBoundsThePointsAndKeepsSpikes) {
  std::vector<YZ> pts;
  for (int i = 0; i < 5000; ++i) pts.push_back({static_cast<float>(i), i == 2345 ? 9.0f : 0.0f});
  const auto d = decimate(pts, 1024);
  EXPECT_LE(d.size(), 1024u);
  bool spike = false;
  for (std::size_t i = 0; i < d.size(); ++i) {
    spike = spike || d[i].z == 9.0f;
    if (i) {
      EXPECT_LT(d[i - 1].y, d[i].y);  // still in order along the line
    }
  }
  EXPECT_TRUE(spike);
  EXPECT_EQ(decimate(std::vector<YZ>(10), 1024).size(), 10u);
}

TEST(ViewDocument, TextsAreEscapedAndAbsentValuesAreNull) {
  EXPECT_EQ(json_string("a\"b\\c\n"), "\"a\\\"b\\\\c\\u000a\"");
  Status s;
  s.camera = "cam\"1";
  s.reported.exposure = 1000;
  s.pending.push_back({Param::Laser, 0, 0});
  const std::string doc = status_json(s, LiveCopy{}, mok_stats_t{});
  EXPECT_NE(doc.find("\"camera\":\"cam\\\"1\""), std::string::npos);
  EXPECT_NE(doc.find("\"exposure\":1000,\"laser\":null"), std::string::npos);
  EXPECT_NE(doc.find("\"pending\":{\"laser\":{\"value\":0"), std::string::npos);
  EXPECT_NE(doc.find("\"profile\":null"), std::string::npos);
}

TEST(ViewExports, CsvAndPlyHoldEveryPointOfTheChosenProfiles) {
  const std::vector<Profile> ps = {profile(1.0, 3), profile(1.5, 2)};
  const std::string csv = history_csv(ps);
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + 5);
  EXPECT_EQ(csv.rfind("1.500000,0,1,1.0000,0.0000\n"), csv.size() - 27);
  const std::string ply = history_ply(ps);
  EXPECT_NE(ply.find("element vertex 5\n"), std::string::npos);
  EXPECT_EQ(ply.substr(ply.size() - 23), "1.0000 0.500000 0.0000\n");
}

TEST(ViewExports, GreyPixelsBecomeAJpeg) {
  std::vector<std::uint8_t> grey(64 * 48, 128);
  const auto jpeg = encode_jpeg(PixelView{grey.data(), 64, 48, 64, 1});
  ASSERT_GT(jpeg.size(), 4u);
  EXPECT_EQ(jpeg[0], 0xFF);
  EXPECT_EQ(jpeg[1], 0xD8);
  EXPECT_TRUE(encode_jpeg(PixelView{}).empty());
}

}  // namespace
}  // namespace mokctl::view

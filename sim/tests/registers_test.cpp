// The camera's registers: the report carries every register with the width the
// client expects, writes change what the next report says, and RTS is a clock.
#include "sim/registers.hpp"

#include <map>

#include <gtest/gtest.h>

#include "brelo/reg_cache.hpp"
#include "fxr/builder.hpp"
#include "fxr/reader.hpp"

namespace camsim {
namespace {

constexpr std::uint64_t kBootMono = 1'000'000;
constexpr std::uint64_t kBootUnix = 1'700'000'000'000'000;

TEST(Registers, ReportCarriesEveryRegisterAsTheClientReadsIt) {
  DeviceSettings s;
  s.serial_number = "SN1234";
  s.board_id = "B7";
  s.exposure_time = 2500;
  s.laser_strength = 60;
  s.task_id = 9;
  Registers regs(s, kBootMono, kBootUnix);
  const auto rec = regs.report(kBootMono + 500);

  // Entry widths straight from the bytes: CTS and RTS four words, sizes one, the rest two.
  mok::fxr::RegisterIter it(rec);
  std::map<std::uint16_t, std::size_t> widths;
  while (auto e = it.next()) widths[e->id] = e->value.size();
  EXPECT_EQ(widths.at(reg::kCts), 8u);
  EXPECT_EQ(widths.at(reg::kRts), 8u);
  EXPECT_EQ(widths.at(reg::kImageWidth), 2u);
  EXPECT_EQ(widths.at(reg::kImageHeight), 2u);
  for (auto id : {reg::kExposureTime, reg::kLaserEnable, reg::kLaserStrength, reg::kTaskId})
    EXPECT_EQ(widths.at(id), 4u);
  EXPECT_EQ(widths.size(), 10u);

  mok::brelo::RegCache cache;
  mok::brelo::apply_report(cache, rec);
  EXPECT_EQ(cache.cts, 500u);
  EXPECT_EQ(cache.rts, kBootUnix + 500);
  EXPECT_EQ(cache.serial_number, "SN1234");
  EXPECT_EQ(cache.board_id, "B7");
  EXPECT_EQ(cache.width, 1280);
  EXPECT_EQ(cache.height, 1024);
  EXPECT_EQ(cache.exposure_time, 2500u);
  EXPECT_EQ(cache.laser_enable, true);
  EXPECT_EQ(cache.laser_strength, 60u);
  EXPECT_EQ(cache.task_id, 9u);
}

TEST(Registers, WritesChangeTheNextReport) {
  Registers regs({}, kBootMono, kBootUnix);
  mok::fxr::Builder w;
  w.push<std::uint32_t>(reg::kExposureTime, 5000);
  w.push<std::uint32_t>(reg::kLaserEnable, 0);
  w.push<std::uint32_t>(reg::kLaserStrength, 33);
  w.push<std::uint32_t>(reg::kTaskId, 4);
  const WriteOutcome out = regs.apply_write(w.bytes(), kBootMono);
  EXPECT_TRUE(out.changed);
  EXPECT_FALSE(out.rts_pulled);
  EXPECT_EQ(out.ignored, 0u);

  mok::brelo::RegCache cache;
  mok::brelo::apply_report(cache, regs.report(kBootMono));
  EXPECT_EQ(cache.exposure_time, 5000u);
  EXPECT_EQ(cache.laser_enable, false);
  EXPECT_EQ(cache.laser_strength, 33u);
  EXPECT_EQ(cache.task_id, 4u);

  // The same values again change nothing; a later entry of a record wins.
  mok::fxr::Builder again;
  again.push<std::uint32_t>(reg::kExposureTime, 5000);
  EXPECT_FALSE(regs.apply_write(again.bytes(), kBootMono).changed);
  mok::fxr::Builder twice;
  twice.push<std::uint32_t>(reg::kTaskId, 1);
  twice.push<std::uint32_t>(reg::kTaskId, 2);
  (void)regs.apply_write(twice.bytes(), kBootMono);
  EXPECT_EQ(regs.settings().task_id, 2u);
}

TEST(Registers, ReadOnlyRegistersIgnoreWritesAndPullIsReported) {
  Registers regs({}, kBootMono, kBootUnix);
  mok::fxr::Builder w;
  w.push<std::uint16_t>(reg::kImageWidth, 16);
  (void)w.push(reg::kSerialNumber, std::string_view("HACKED"));
  w.push<std::uint32_t>(reg::kRtsPull, 1);
  const WriteOutcome out = regs.apply_write(w.bytes(), kBootMono);
  EXPECT_TRUE(out.rts_pulled);
  EXPECT_FALSE(out.changed);
  EXPECT_EQ(out.ignored, 2u);
  EXPECT_EQ(regs.settings().image_width, 1280);
  EXPECT_EQ(regs.settings().serial_number, "CSIM0001");
}

TEST(Registers, RtsRunsAsAMicrosecondClockThatWritesRebase) {
  Registers regs({}, kBootMono, kBootUnix);
  EXPECT_EQ(regs.rts(kBootMono + 2'000'000), kBootUnix + 2'000'000);
  mok::fxr::Builder w;
  w.push<std::uint64_t>(reg::kRts, 123);
  EXPECT_TRUE(regs.apply_write(w.bytes(), kBootMono + 10).changed);
  EXPECT_EQ(regs.rts(kBootMono + 10), 123u);
  EXPECT_EQ(regs.rts(kBootMono + 1010), 1123u);
  // CTS keeps counting from power-up regardless.
  EXPECT_EQ(regs.cts(kBootMono + 1010), 1010u);
  // A cut-short record (announcing more than it holds) changes nothing.
  const std::uint8_t cut[] = {0, 4, 0x08, 0x11, 1, 2};
  EXPECT_FALSE(regs.apply_write(cut, kBootMono).changed);
  EXPECT_EQ(regs.rts(kBootMono + 10), 123u);
}

}  // namespace
}  // namespace camsim

// The log facade: level filtering, callback delivery and replacement.
#include "common/log.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mok/mok_log.h"

namespace {

struct Captured {
  std::vector<std::string> lines;
};

void capture(int32_t level, const char* target, const char* message, void* user) {
  static_cast<Captured*>(user)->lines.push_back(std::to_string(level) + " " + target + " " + message);
}

TEST(Log, CallbackReceivesRecordsUpToMaxLevel) {
  Captured c;
  mok_log_set_callback(capture, MOK_LOG_INFO, &c);
  mok::log::info("mok_fxt::client::tcp", "connected to {}", "127.0.0.1:1");
  mok::log::debug("mok_fxt::client::tcp", "dropped {}", 1);
  mok::log::error("mok_media::video_decode_service", "failed: {}", "x");
  mok_log_set_callback(nullptr, MOK_LOG_WARN, nullptr);
  ASSERT_EQ(c.lines.size(), 2u);
  EXPECT_EQ(c.lines[0], "3 mok_fxt::client::tcp connected to 127.0.0.1:1");
  EXPECT_EQ(c.lines[1], "1 mok_media::video_decode_service failed: x");
}

TEST(Log, OutOfRangeLevelsAreClampedAndOffSilencesEverything) {
  Captured c;
  mok_log_set_callback(capture, 99, &c);
  EXPECT_TRUE(mok::log::enabled(mok::log::Level::Trace));
  mok_log_set_callback(capture, -4, &c);
  mok::log::error("t", "never");
  EXPECT_TRUE(c.lines.empty());
  EXPECT_FALSE(mok::log::enabled(mok::log::Level::Error));
  mok_log_set_callback(nullptr, MOK_LOG_WARN, nullptr);
  EXPECT_TRUE(mok::log::enabled(mok::log::Level::Warn));
  EXPECT_FALSE(mok::log::enabled(mok::log::Level::Info));
}

// A flood of one kind reaches the host at most a window's quota at a time;
// Debug records, which a host asks for in full, are never held back.
TEST(Log, RepeatedRecordsAreRateLimitedButDebugIsNot) {
  Captured c;
  mok_log_set_callback(capture, MOK_LOG_DEBUG, &c);
  for (int i = 0; i < 1000; ++i) mok::log::error("mok_test::flood", "packet {} refused", i);
  const std::size_t errors = c.lines.size();
  for (int i = 0; i < 100; ++i) mok::log::debug("mok_test::flood", "packet {} seen", i);
  mok_log_set_callback(nullptr, MOK_LOG_WARN, nullptr);
  // One window, or two if the loop straddled a boundary (plus the report).
  EXPECT_GE(errors, 10u);
  EXPECT_LE(errors, 21u);
  EXPECT_EQ(c.lines.size() - errors, 100u);
}

}  // namespace

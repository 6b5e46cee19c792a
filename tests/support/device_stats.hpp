// Reading a client's figures and last failure the way a C host does.
#pragma once

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "mok/mok.h"

namespace mok::test {

inline mok_stats_t stats_of(mok_client_t* c) {
  mok_stats_t s{};
  EXPECT_EQ(mok_get_stats(c, &s, sizeof s), MOK_OK);
  EXPECT_EQ(s.size, sizeof s);
  return s;
}

// "<none>" before the first failure.
inline std::string last_error(mok_client_t* c) {
  uint32_t len = 0;
  if (mok_get_last_error(c, nullptr, &len) != MOK_OK) return "<none>";
  std::string text(len, '\0');
  EXPECT_EQ(mok_get_last_error(c, text.data(), &len), MOK_OK);
  text.resize(len - 1);
  return text;
}

inline uint64_t disconnects_total(const mok_stats_t& s) {
  return s.disconnects_remote_close + s.disconnects_inactivity + s.disconnects_decode_error +
         s.disconnects_write_failure + s.disconnects_stop;
}

}  // namespace mok::test

// Reading a connection's figures and last failure the way a C host does,
// with a bounded wait for counters that the loops bump in the background.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "mok/mok_fxt.h"
#include "support/eventually.hpp"

namespace mok::test {

inline mok_fxt_conn_stats_t stats_of(mok_fxt_conn_t* c) {
  mok_fxt_conn_stats_t s{};
  EXPECT_TRUE(mok_fxt_conn_get_stats(c, &s, sizeof s));
  return s;
}

// "<none>" before the first failure.
inline std::string last_error(mok_fxt_conn_t* c) {
  uint32_t len = 0;
  if (!mok_fxt_conn_last_error(c, nullptr, &len)) return "<none>";
  std::string text(len, '\0');
  EXPECT_TRUE(mok_fxt_conn_last_error(c, text.data(), &len));
  text.resize(len - 1);
  return text;
}

inline uint64_t disconnects_total(const mok_fxt_conn_stats_t& s) {
  return s.disconnects_remote_close + s.disconnects_inactivity + s.disconnects_decode_error +
         s.disconnects_write_failure + s.disconnects_stop;
}

}  // namespace mok::test

#include "brelo/address.hpp"

#include <gtest/gtest.h>

namespace mok::brelo {
namespace {

TEST(NormalizeRemoteAddr, AcceptedForms) {
  const std::pair<const char*, const char*> cases[] = {
      {"  10.0.0.5\t", "10.0.0.5:6833"},
      {"cam-01", "cam-01:6833"},
      {"cam-01:7000", "cam-01:7000"},
      {"10.0.0.5:+80", "10.0.0.5:+80"},
      {"192.168.1.20:7000", "192.168.1.20:7000"},
      {"[::1]:7000", "[::1]:7000"},
      {"[fe80::1%2]:80", "[fe80::1%2]:80"},
      {" \n[2001:db8::7]:6833 ", "[2001:db8::7]:6833"},
      {"cam:0", "cam:0"},
      {"cam:65535", "cam:65535"},
      {"cam:00080", "cam:00080"},
      {"\xC2\xA0"
       "cam\xE3\x80\x80",
       "cam:6833"},  // Unicode spaces are trimmed too
  };
  for (const auto& [in, want] : cases) {
    auto r = normalize_remote_addr(in);
    ASSERT_TRUE(r.ok()) << in;
    EXPECT_EQ(*r, want) << in;
  }
}

TEST(NormalizeRemoteAddr, RejectedForms) {
  const char* cases[] = {"",         "   \t ",  ":7000",     "cam-01:", "cam-01:65536", "cam-01:7a",   "cam-01:-1",
                         "cam-01:+", "a:b:c",   "::1",       "[::1]",   "[::1]:+80",    "[::1]:70000", "cam:1:2",
                         "cam:+-1",  "cam: 80", "[zz::1]:80"};
  for (const char* in : cases) {
    auto r = normalize_remote_addr(in);
    ASSERT_FALSE(r.ok()) << in;
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidArgument) << in;
    EXPECT_EQ(r.error().code(), -3);
  }
}

}  // namespace
}  // namespace mok::brelo

// The viewer's request parser: what a stranger's bytes can make of a request.
#include "http_request.hpp"

#include <gtest/gtest.h>

namespace mokctl::view {
namespace {

TEST(HttpRequest, ReadsTheHeadWithLowerCaseNamesAndTheConnectionsFate) {
  const std::string head =
      "POST /api/set?x=1 HTTP/1.1\r\nHost: 127.0.0.1:80\r\nX-Mok-Token: a b \r\nContent-Length: 22\r\n\r\n";
  ASSERT_EQ(head_end(head + "name=exposure"), head.size());
  EXPECT_EQ(head_end("GET / HTTP/1.1\r\nHost: x\r\n"), 0u);
  const auto p = parse_head(head, {});
  ASSERT_TRUE(p.request);
  EXPECT_EQ(p.request->path, "/api/set");
  EXPECT_EQ(p.request->query, "x=1");
  EXPECT_EQ(*p.request->header("x-mok-token"), "a b");
  EXPECT_EQ(p.request->content_length, 22u);
  EXPECT_TRUE(p.request->keep_alive);
  EXPECT_FALSE(parse_head("GET / HTTP/1.1\r\nConnection: Keep-Alive, close\r\n\r\n", {}).request->keep_alive);
  EXPECT_FALSE(parse_head("GET / HTTP/1.0\r\n\r\n", {}).request->keep_alive);
}

TEST(HttpRequest, RefusesOversizedAndAmbiguousHeadsWithTheirStatus) {
  const HttpLimits limits{.head = 256, .target = 32, .headers = 2, .body = 100};
  const std::pair<std::string, int> cases[] = {
      {"GET /" + std::string(300, 'a') + " HTTP/1.1\r\n\r\n", 431},
      {"GET /" + std::string(40, 'a') + " HTTP/1.1\r\n\r\n", 414},
      {"GET / HTTP/1.1\r\na: 1\r\nb: 2\r\nc: 3\r\n\r\n", 431},
      {"POST / HTTP/1.1\r\nContent-Length: 101\r\n\r\n", 413},
      {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n", 413},
      {"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 501},
      {"GET / HTTP/1.1\r\nHost: x\r\n folded\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nHost : x\r\n\r\n", 400},
      {"GET http://x/ HTTP/1.1\r\n\r\n", 400},
      {"GET / HTTP/2.0\r\n\r\n", 505},
      {"GET /\r\n\r\n", 400},
  };
  for (const auto& [head, status] : cases) {
    const auto p = parse_head(head, limits);
    EXPECT_FALSE(p.request) << head;
    EXPECT_EQ(p.refusal.status, status) << head;
  }
}

TEST(HttpRequest, FormValuesAreDecodedAndBrokenEscapesAreEmpty) {
  const std::string form = "name=exposure&value=12%2034&flag&e%61sy=a+b&bad=%4";
  EXPECT_EQ(form_value(form, "value"), "12 34");
  EXPECT_EQ(form_value(form, "easy"), "a b");
  EXPECT_TRUE(form_has(form, "flag"));
  EXPECT_EQ(form_value(form, "flag"), "");
  EXPECT_EQ(form_value(form, "bad"), "");
  EXPECT_FALSE(form_has(form, "missing"));
  EXPECT_FALSE(url_decode("%zz"));
}

}  // namespace
}  // namespace mokctl::view

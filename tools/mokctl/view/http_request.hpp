// The viewer's HTTP/1.1 request head and parameters, parsed from bytes with
// every size bounded. Pure, so the server's first contact with a stranger's
// bytes can be fuzzed and tested without a socket.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mokctl::view {

struct HttpLimits {
  std::size_t head = 8 * 1024;  // request line and headers, with the blank line
  std::size_t target = 2048;    // path and query
  std::size_t headers = 64;     // header lines
  std::size_t body = 4 * 1024;  // the actions' form bodies are a few dozen bytes
};

struct HttpRequest {
  std::string method, path, query;
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::size_t content_length = 0;
  bool keep_alive = true;

  // The first header of that (lower case) name, or nothing.
  const std::string* header(std::string_view name) const;
};

// A request refused while reading it: the status to answer with and why.
struct HttpRefusal {
  int status = 400;
  const char* reason = "";
};

// Where the head ends (just past the blank line) in `bytes`, or 0 while incomplete.
std::size_t head_end(std::string_view bytes);

// The head `head` (up to and including its blank line) checked against `limits`.
// The body's size is checked here too, so a large one is refused before it is read.
struct ParsedHead {
  std::optional<HttpRequest> request;
  HttpRefusal refusal;
};
ParsedHead parse_head(std::string_view head, const HttpLimits& limits);

// The first value of `name` in a query or form body (a=1&b=x%20y), decoded;
// empty when absent or badly encoded.
std::string form_value(std::string_view form, std::string_view name);
bool form_has(std::string_view form, std::string_view name);
// %XX and '+' decoded; nothing when an escape is broken.
std::optional<std::string> url_decode(std::string_view text);

// The `seconds` parameter of a profile download: 5 when absent, otherwise a
// number above 0 and at most 3600; nothing when it is not one.
std::optional<double> download_seconds(const std::string& text);

}  // namespace mokctl::view

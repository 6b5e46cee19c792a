// The viewer's request heads and parameters as a stranger sends them: a head
// is accepted only within the limits, with an address that starts at '/',
// and its parts come from the head itself; parameters and download ranges
// decode without reading past their text and stay in their ranges.
#include <string>
#include <string_view>

#include "check.hpp"
#include "http_request.hpp"

using namespace mokctl::view;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const HttpLimits limits{.head = 1024, .target = 256, .headers = 16, .body = 512};
  const std::size_t end = head_end(bytes);
  FUZZ_CHECK(end == 0 || (end >= 4 && end <= size && bytes.compare(end - 4, 4, "\r\n\r\n") == 0));
  const ParsedHead parsed = parse_head(std::string_view(bytes).substr(0, end ? end : size), limits);
  if (parsed.request) {
    const HttpRequest& r = *parsed.request;
    FUZZ_CHECK(!r.path.empty() && r.path.front() == '/');
    FUZZ_CHECK(r.path.size() + r.query.size() <= limits.target);
    FUZZ_CHECK(r.headers.size() <= limits.headers && r.content_length <= limits.body);
    FUZZ_CHECK(bytes.find(r.method) == 0);
    for (const auto& [name, value] : r.headers) {
      for (char c : name) FUZZ_CHECK(!(c >= 'A' && c <= 'Z'));
      FUZZ_CHECK(value.find("\r\n") == std::string::npos);
    }
    (void)form_value(r.query, "seconds");
  } else {
    const int s = parsed.refusal.status;
    FUZZ_CHECK(s == 400 || s == 413 || s == 414 || s == 431 || s == 501 || s == 505);
  }
  // The whole input as a form body and as a download range.
  const std::string value = form_value(bytes, "value");
  FUZZ_CHECK(value.size() <= size);
  if (const auto seconds = download_seconds(bytes)) FUZZ_CHECK(*seconds > 0 && *seconds <= 3600);
  return 0;
}

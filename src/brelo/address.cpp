// Address normalisation for Client::connect. Only numeric addresses are
// recognised here; host names are resolved later by the connector.
#include "brelo/address.hpp"

#include <string>

#include <arpa/inet.h>
#include <fmt/format.h>

#include "common/port.hpp"

namespace mok::brelo {
namespace {

bool is_digits(std::string_view s) noexcept {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// The library's one port grammar (the resolver uses it too).
bool valid_port(std::string_view s) noexcept { return parse_port(s).has_value(); }

// Plain digits only: the stricter port syntax of numeric socket addresses.
bool valid_numeric_port(std::string_view s) noexcept { return is_digits(s) && valid_port(s); }

// "[v6]:port", the v6 part optionally with a numeric "%scope".
bool is_bracketed_v6(std::string_view s) {
  if (s.size() < 4 || s.front() != '[') {
    return false;
  }
  const auto close = s.find("]:");
  if (close == std::string_view::npos || !valid_numeric_port(s.substr(close + 2))) {
    return false;
  }
  std::string_view host = s.substr(1, close - 1);
  if (const auto pct = host.find('%'); pct != std::string_view::npos) {
    if (!is_digits(host.substr(pct + 1))) {
      return false;
    }
    host = host.substr(0, pct);
  }
  in6_addr a6{};
  return inet_pton(AF_INET6, std::string(host).c_str(), &a6) == 1;
}

// Length of a UTF-8 white-space character at the start (or, with
// `at_end`, the end) of s, or 0. Covers ASCII and the Unicode spaces.
std::size_t space_len(std::string_view s, bool at_end) noexcept {
  static constexpr std::string_view kSpaces[] = {" ",
                                                 "\t",
                                                 "\n",
                                                 "\v",
                                                 "\f",
                                                 "\r",
                                                 "\xC2\x85",
                                                 "\xC2\xA0",
                                                 "\xE1\x9A\x80",
                                                 "\xE2\x80\x80",
                                                 "\xE2\x80\x81",
                                                 "\xE2\x80\x82",
                                                 "\xE2\x80\x83",
                                                 "\xE2\x80\x84",
                                                 "\xE2\x80\x85",
                                                 "\xE2\x80\x86",
                                                 "\xE2\x80\x87",
                                                 "\xE2\x80\x88",
                                                 "\xE2\x80\x89",
                                                 "\xE2\x80\x8A",
                                                 "\xE2\x80\xA8",
                                                 "\xE2\x80\xA9",
                                                 "\xE2\x80\xAF",
                                                 "\xE2\x81\x9F",
                                                 "\xE3\x80\x80"};
  for (std::string_view sp : kSpaces) {
    if (at_end ? s.ends_with(sp) : s.starts_with(sp)) {
      return sp.size();
    }
  }
  return 0;
}

std::string_view trim(std::string_view s) noexcept {
  while (std::size_t n = space_len(s, false)) {
    s.remove_prefix(n);
  }
  while (std::size_t n = space_len(s, true)) {
    s.remove_suffix(n);
  }
  return s;
}

}  // namespace

Result<std::string> normalize_remote_addr(std::string_view address) {
  const std::string_view text = trim(address);
  if (text.empty()) {
    return fail(ErrorKind::InvalidArgument);
  }
  if (is_bracketed_v6(text)) {
    return std::string(text);
  }
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) {
    return fmt::format("{}:{}", text, kDefaultDevicePort);
  }
  const std::string_view host = text.substr(0, colon);
  const std::string_view port = text.substr(colon + 1);
  if (host.empty() || port.find(':') != std::string_view::npos || !valid_port(port)) {
    return fail(ErrorKind::InvalidArgument);
  }
  return std::string(text);
}

}  // namespace mok::brelo

// Who may do what on the viewer: the decisions behind "safe by default",
// kept apart from the server so they can be checked without one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace mokctl::view {

// Whether `host` (an address to listen on, or a Host header's name) is loopback.
bool is_loopback(const std::string& host);

struct AccessPolicy {
  std::string listen;  // the address the server listens on
  int port = 0;        // the port it listens on
  bool read_only = false;
  bool token_required = false;
  std::string token;

  // A request's Host header is acceptable: on a loopback listener without a
  // token only loopback names, so that a page from elsewhere reaching in
  // through a rebound host name is turned away.
  bool host_allowed(const std::string& host_header) const;

  // An action (anything that reaches the camera or the disk) may go ahead:
  // nothing, or the sentence that refuses it. `from_page` says the request
  // carried the page's header, which other sites' pages cannot send unasked.
  std::optional<std::string> refuse_action(bool from_page, const std::string& token_given) const;

  // `given` is the token, compared in a time that does not depend on where it differs.
  bool token_matches(const std::string& given) const;
};

// Failed token attempts by client address: beyond kAllowed in a window the
// address is turned away until its window has passed, so a token cannot be
// guessed at network speed. Remembers at most kAddresses addresses. The
// caller passes the time and keeps it on one thread.
class TokenFailures {
 public:
  static constexpr std::uint32_t kAllowed = 10;
  static constexpr std::uint64_t kWindowMs = 60'000;
  static constexpr std::size_t kAddresses = 4096;

  bool blocked(const std::string& address, std::uint64_t now_ms) const;
  void failed(const std::string& address, std::uint64_t now_ms);

 private:
  struct Entry {
    std::uint64_t window_start = 0;
    std::uint32_t failures = 0;
  };
  std::unordered_map<std::string, Entry> by_address_;
};

}  // namespace mokctl::view

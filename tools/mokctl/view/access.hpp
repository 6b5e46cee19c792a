// Who may do what on the viewer: the decisions behind "safe by default",
// kept apart from the server so they can be checked without one.
#pragma once

#include <optional>
#include <string>

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
};

}  // namespace mokctl::view

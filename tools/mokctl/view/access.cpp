// AccessPolicy: loopback and token decisions.
#include "access.hpp"

#include <arpa/inet.h>

namespace mokctl::view {

bool is_loopback(const std::string& host) {
  if (host == "localhost") return true;
  in_addr a4{};
  if (inet_pton(AF_INET, host.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
  in6_addr a6{};
  return inet_pton(AF_INET6, host.c_str(), &a6) == 1 && IN6_IS_ADDR_LOOPBACK(&a6);
}

bool AccessPolicy::host_allowed(const std::string& host_header) const {
  if (token_required) return true;
  std::string host = host_header;
  // Built by appending: g++ 12 at -O3 warns wrongly about ":" + std::string.
  std::string port_part(1, ':');
  port_part.append(std::to_string(port));
  if (host.ends_with(port_part)) host.resize(host.size() - port_part.size());
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host.pop_back();
    host.erase(0, 1);
  }
  return host == listen || (!host.empty() && is_loopback(host));
}

std::optional<std::string> AccessPolicy::refuse_action(bool from_page, const std::string& token_given) const {
  if (!from_page) return "Actions are taken from the viewer's page only.";
  if (read_only) return "This viewer was started with --read-only: it shows the camera and changes nothing.";
  if (token_required && !token_matches(token_given)) {
    return "This action needs the token mokctl view printed when it started (open the page through the printed "
           "address).";
  }
  return std::nullopt;
}

bool AccessPolicy::token_matches(const std::string& given) const {
  // Every byte of the token is looked at whatever the guess, and differences
  // are gathered without a branch.
  unsigned diff = given.size() != token.size() ? 1u : 0u;
  for (std::size_t i = 0; i < token.size(); ++i) {
    const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    diff |= static_cast<unsigned>(g ^ static_cast<unsigned char>(token[i]));
  }
  return diff == 0;
}

bool TokenFailures::blocked(const std::string& address, std::uint64_t now_ms) const {
  const auto it = by_address_.find(address);
  return it != by_address_.end() && now_ms - it->second.window_start < kWindowMs &&
         it->second.failures >= kAllowed;
}

void TokenFailures::failed(const std::string& address, std::uint64_t now_ms) {
  if (by_address_.size() >= kAddresses && !by_address_.contains(address)) {
    std::erase_if(by_address_, [&](const auto& e) { return now_ms - e.second.window_start >= kWindowMs; });
    // Still full of recent guessers: the newcomer is remembered in place of one of them.
    if (by_address_.size() >= kAddresses) by_address_.erase(by_address_.begin());
  }
  Entry& e = by_address_[address];
  if (e.failures == 0 || now_ms - e.window_start >= kWindowMs) e = {now_ms, 0};
  ++e.failures;
}

}  // namespace mokctl::view

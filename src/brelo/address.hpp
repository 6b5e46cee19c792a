// Address rules of the device client: what a host may pass to connect, and
// the default camera port that a bare host name or IPv4 address gets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "brelo/error.hpp"

namespace mok::brelo {

inline constexpr std::uint16_t kDefaultDevicePort = 6833;

// Trims white space, keeps numeric socket addresses ("10.0.0.5:80",
// "[::1]:7000") and "host:port" with a decimal port (optionally "+"), appends
// the default port to text without any colon, and rejects everything else
// (empty text, empty host or port, bad port, several colons) with
// InvalidArgument.
Result<std::string> normalize_remote_addr(std::string_view address);

}  // namespace mok::brelo

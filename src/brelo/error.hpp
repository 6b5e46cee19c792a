// The device client's error: each kind has a fixed C status code that the
// device C interface returns unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "common/result.hpp"

namespace mok::brelo {

enum class ErrorKind : std::int32_t {
  NotAvailable = -1,
  SendFailed = -2,
  InvalidArgument = -3,
  Timeout = -4,
  Other = -5,
  // The client was closed while the call waited (or before it began).
  Closed = -6,
  // A blocking wait called on a library thread (inside a callback), where
  // what it waits for cannot arrive until the callback returns.
  InCallback = -7,
};

struct Error {
  ErrorKind kind = ErrorKind::Other;
  std::string message;  // only Other carries one: the failing component's text

  static Error other(std::string text) { return Error{ErrorKind::Other, std::move(text)}; }
  std::int32_t code() const noexcept { return static_cast<std::int32_t>(kind); }
  friend bool operator==(const Error&, const Error&) = default;
};

template <class T>
using Result = mok::Result<T, Error>;

inline Err<Error> fail(ErrorKind kind) { return err(Error{kind, {}}); }

}  // namespace mok::brelo

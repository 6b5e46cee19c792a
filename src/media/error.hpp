// Errors of the video path. The decoder library answers with a status
// (0 success, 1 more input needed, anything else failure); one rule turns a
// status into a result everywhere, and the error's text is the code's name
// so that log lines and Failure events read the same whoever produced them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "common/result.hpp"

namespace mok::media {

enum class ErrorCode : int32_t {
  Error = -1,
  NoError = 0,
  NeedMore = 1,
};

std::string to_string(ErrorCode code);

// A message-carrying error: a library status, a loader message, a bad
// configuration value.
class Error {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}
  explicit Error(ErrorCode code) : message_(to_string(code)) {}

  const std::string& text() const noexcept { return message_; }

 private:
  std::string message_;
};

// 0 is NoError, 1 NeedMore, every other status Error.
constexpr ErrorCode error_code_from_status(int32_t status) noexcept {
  if (status == 0) return ErrorCode::NoError;
  if (status == 1) return ErrorCode::NeedMore;
  return ErrorCode::Error;
}

// Success for status 0, otherwise the error named by the mapped code.
Result<void, Error> check_status(int32_t status);

}  // namespace mok::media

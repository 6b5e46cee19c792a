// Text forms of the error codes and the status rule.
#include "media/error.hpp"

namespace mok::media {

std::string to_string(ErrorCode code) {
  switch (code) {
    case ErrorCode::Error:
      return "Error";
    case ErrorCode::NoError:
      return "NoError";
    case ErrorCode::NeedMore:
      return "NeedMore";
  }
  return std::to_string(static_cast<int32_t>(code));
}

Result<void, Error> check_status(int32_t status) {
  const ErrorCode code = error_code_from_status(status);
  if (code == ErrorCode::NoError) return {};
  return err(Error(code));
}

}  // namespace mok::media

// The log family's C export: the host's record callback and the most detailed
// level it wants, handed to the log facade every subsystem writes through.
#include "common/log.hpp"

#include "mok/mok_log.h"

extern "C" MOK_API void mok_log_set_callback(mok_log_cb cb, int32_t max_level, void* user) {
  mok::log::set_callback(cb, static_cast<mok::log::Level>(max_level < 0 ? 0 : max_level), user);
}

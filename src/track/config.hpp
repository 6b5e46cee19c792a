// The tracker's settings: their defaults and the ranges a tracker accepts.
// The public config struct is used as is; only the checks live here.
#pragma once

#include "mok/mok_track.h"

namespace mok::track {

mok_tracker_config_t default_config();
// The defaults overlaid with the first `config.size` bytes of `config` (the
// fields a host compiled against); false when size is below the first
// version's or a setting is out of range.
bool merge_config(const mok_tracker_config_t& config, mok_tracker_config_t& out);

}  // namespace mok::track

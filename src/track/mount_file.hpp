// The mounting file: the sensor's pose in the tool frame as a calibration
// writes it and the tracker reads it (JSON, "format": "mok-mount/1"). A file
// that does not parse, lacks a field or holds no rotation is refused with the
// line and the reason, so a user can fix it.
#pragma once

#include <string>
#include <string_view>

#include "common/result.hpp"
#include "track/pose.hpp"

namespace mok::track {

inline constexpr std::string_view kMountFormat = "mok-mount/1";

// Errors read "LINE: reason".
Result<Pose, std::string> parse_mount(std::string_view text);
// Errors read "PATH:LINE: reason" (or "PATH: reason" when it cannot be read).
Result<Pose, std::string> load_mount(const std::string& path);
bool is_json_object(std::string_view text);
// `calibration_json`, when not empty, must be a JSON object; it is stored as
// the "calibration" entry. Written beside the target and renamed over it, so
// a reader never sees half a file.
Result<bool, std::string> save_mount(const std::string& path, const Pose& X_tool_sensor,
                                     std::string_view calibration_json);

}  // namespace mok::track

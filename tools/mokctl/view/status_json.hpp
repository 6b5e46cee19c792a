// The one document the page lives on: every live figure, the parameters and
// their pending changes, and the state of video, snapshot and recording, as
// JSON. Pure: built from copies, so it can be built off every lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <mok/mok.h>

#include "live_state.hpp"

namespace mokctl::view {

// The parameters the page can change, by their names in requests and JSON.
enum class Param { Exposure, Laser, Strength, Task };
const char* param_name(Param p);
std::optional<Param> param_from_name(const std::string& name);
// The request's text as a value for `p` (laser: on/off/1/0/true/false; the
// others: a whole number 0 ... 4294967295), or the sentence saying why not.
std::variant<std::uint32_t, std::string> parse_value(Param p, const std::string& text);

struct Reported {
  std::optional<std::uint32_t> exposure, strength, task;
  std::optional<bool> laser;
  std::optional<std::string> board_id, serial_number;
  std::optional<std::uint32_t> get(Param p) const;  // laser as 0/1
};

// A change sent to the camera and not yet seen in its report.
struct Pending {
  Param param = Param::Exposure;
  std::uint32_t value = 0;
  double since_s = 0;
};

struct Status {
  double now_s = 0;
  std::string camera;  // the address as given
  bool read_only = false, token_required = false;
  double rate_hz = 0;      // profiles per second over the last window
  double latency_ms = -1;  // mean over the last window, -1 unknown
  double quiet_s = 0;      // seconds since the last packet while connected
  Reported reported;
  std::vector<Pending> pending;
  struct {
    bool available = false, on = false;
    std::uint64_t seq = 0, frames = 0, replaced = 0;
    int width = 0, height = 0;
    std::string error;
  } video;
  struct {
    std::uint64_t seq = 0;
    std::string format, error;
    int width = 0, height = 0;
    bool busy = false;
  } snapshot;
  struct {
    bool active = false;
    std::string path, error;
    std::uint64_t packets = 0, bytes = 0;
  } record;
  // The web server's own counters (refusals among them), shown beside the connection's.
  std::vector<std::pair<const char*, std::uint64_t>> service;
};

// `max_points` bounds the drawn profile (min and max of each bucket kept).
std::string status_json(const Status& s, const LiveCopy& live, const mok_stats_t& stats,
                        std::size_t max_points = 1024);

// The profile decimated for drawing: unchanged when it has up to `max_points`.
std::vector<YZ> decimate(const std::vector<YZ>& points, std::size_t max_points);

std::string json_string(const std::string& text);  // quoted and escaped

}  // namespace mokctl::view

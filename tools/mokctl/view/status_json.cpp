// status_json: the page's live document, written by hand (a few dozen fields).
#include "status_json.hpp"

#include <cinttypes>
#include <cmath>

#include "../session.hpp"

namespace mokctl::view {
namespace {

std::string num(double v, int decimals = 3) {
  if (!std::isfinite(v)) return "null";
  return format("%.*f", decimals, v);
}

template <class T>
std::string opt(const std::optional<T>& v) {
  if (!v) return "null";
  if constexpr (std::is_same_v<T, bool>) {
    return *v ? "true" : "false";
  } else if constexpr (std::is_same_v<T, std::string>) {
    return json_string(*v);
  } else {
    return std::to_string(*v);
  }
}

const char* b(bool v) { return v ? "true" : "false"; }

void append_points(std::string& out, const std::vector<YZ>& pts) {
  out += '[';
  for (std::size_t i = 0; i < pts.size(); ++i) {
    if (i) out += ',';
    out += '[' + num(pts[i].y) + ',' + num(pts[i].z) + ']';
  }
  out += ']';
}

void append_stats(std::string& out, const mok_stats_t& s,
                  const std::vector<std::pair<const char*, std::uint64_t>>& service) {
  const std::pair<const char*, std::uint64_t> counters[] = {
      {"connect_attempts", s.connect_attempts},
      {"connections_established", s.connections_established},
      {"disconnects_remote_close", s.disconnects_remote_close},
      {"disconnects_inactivity", s.disconnects_inactivity},
      {"disconnects_decode_error", s.disconnects_decode_error},
      {"disconnects_write_failure", s.disconnects_write_failure},
      {"packets_received", s.packets_received},
      {"bytes_received", s.bytes_received},
      {"packets_sent", s.packets_sent},
      {"register_reports", s.register_reports},
      {"scan_results", s.scan_results},
      {"scan_results_rejected", s.scan_results_rejected},
      {"snapshot_images", s.snapshot_images},
      {"video_packets", s.video_packets},
      {"frames_decoded", s.frames_decoded},
      {"frames_dropped", s.frames_dropped},
      {"ignored_packets", s.ignored_packets},
      {"send_refused_not_connected", s.send_refused_not_connected},
      {"send_refused_queue_full", s.send_refused_queue_full},
      {"queue_depth", s.queue_depth},
  };
  out += '{';
  bool first = true;
  for (const auto& [name, value] : counters) {
    if (!first) out += ',';
    first = false;
    out += format("\"%s\":%" PRIu64, name, value);
  }
  for (const auto& [name, value] : service) out += format(",\"%s\":%" PRIu64, name, value);
  out += '}';
}

}  // namespace

const char* param_name(Param p) {
  switch (p) {
    case Param::Exposure:
      return "exposure";
    case Param::Laser:
      return "laser";
    case Param::Strength:
      return "strength";
    case Param::Task:
      return "task";
  }
  return "?";
}

std::optional<Param> param_from_name(const std::string& name) {
  for (Param p : {Param::Exposure, Param::Laser, Param::Strength, Param::Task}) {
    if (name == param_name(p)) return p;
  }
  return std::nullopt;
}

std::variant<std::uint32_t, std::string> parse_value(Param p, const std::string& text) {
  if (p == Param::Laser) {
    if (text == "on" || text == "1" || text == "true") return 1u;
    if (text == "off" || text == "0" || text == "false") return 0u;
    return std::string("The laser takes \"on\" or \"off\", not \"" + text.substr(0, 40) + "\".");
  }
  const char* name = p == Param::Exposure ? "exposure time" : p == Param::Strength ? "laser strength" : "task id";
  bool digits = !text.empty() && text.size() <= 10;
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  if (!digits || std::stoull(text) > 0xFFFFFFFFull) {
    return format("The %s takes a whole number from 0 to 4294967295, not \"%s\".", name,
                  text.substr(0, 40).c_str());
  }
  return static_cast<std::uint32_t>(std::stoull(text));
}

std::optional<std::uint32_t> Reported::get(Param p) const {
  switch (p) {
    case Param::Exposure:
      return exposure;
    case Param::Strength:
      return strength;
    case Param::Task:
      return task;
    case Param::Laser:
      if (!laser) return std::nullopt;
      return *laser ? 1u : 0u;
  }
  return std::nullopt;
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += format("\\u%04x", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + '"';
}

std::vector<YZ> decimate(const std::vector<YZ>& points, std::size_t max_points) {
  if (points.size() <= max_points || max_points < 2) return points;
  std::vector<YZ> out;
  const std::size_t buckets = max_points / 2;
  out.reserve(buckets * 2);
  for (std::size_t k = 0; k < buckets; ++k) {
    const std::size_t from = k * points.size() / buckets, to = (k + 1) * points.size() / buckets;
    std::size_t lo = from, hi = from;
    for (std::size_t i = from; i < to; ++i) {
      if (points[i].z < points[lo].z) lo = i;
      if (points[i].z > points[hi].z) hi = i;
    }
    // In their order along the line, so the drawn line does not fold back.
    out.push_back(points[std::min(lo, hi)]);
    if (lo != hi) out.push_back(points[std::max(lo, hi)]);
  }
  return out;
}

std::string status_json(const Status& s, const LiveCopy& live, const mok_stats_t& stats, std::size_t max_points) {
  const bool connected = live.state == mok::State::Connected;
  std::string out;
  out.reserve(32 * 1024);
  out += "{\"now_s\":" + num(s.now_s) + ",\"camera\":" + json_string(s.camera);
  out += format(",\"read_only\":%s,\"token_required\":%s", b(s.read_only), b(s.token_required));
  out += ",\"connection\":{\"state\":" + json_string(live.state ? mok::state_name(*live.state) : "Starting") +
         ",\"connected\":" + b(connected) + ",\"for_s\":" + num(s.now_s - live.state_since_s, 1) +
         ",\"quiet_s\":" + num(connected ? s.quiet_s : 0, 1) + "}";
  out += format(",\"results\":%" PRIu64 ",\"rate_hz\":", live.results) + num(s.rate_hz, 1);
  out += ",\"latency_ms\":" + (s.latency_ms >= 0 ? num(s.latency_ms, 2) : std::string("null"));
  out += ",\"since_last_s\":" + (live.last_result_s >= 0 ? num(s.now_s - live.last_result_s, 2) : "null");
  out += format(",\"history\":{\"span_s\":%s,\"evicted\":%" PRIu64 "}", num(live.history_span_s, 2).c_str(),
                live.evicted);
  out += ",\"profile\":";
  if (live.latest) {
    const Profile& p = *live.latest;
    out += format("{\"pts\":%" PRIu64 ",\"t_s\":%s,\"count\":%zu,\"seam\":{\"found\":%s", p.pts,
                  num(p.t_s).c_str(), p.points.size(), b(p.seam_found));
    if (p.seam_found) {
      out += ",\"y\":" + num(p.seam.y) + ",\"z\":" + num(p.seam.z) + ",\"width\":" + num(p.width) +
             ",\"height\":" + num(p.height) + ",\"angle\":" + num(p.angle, 1);
    }
    out += "},\"points\":";
    append_points(out, decimate(p.points, max_points));
    out += '}';
  } else {
    out += "null";
  }
  out += ",\"trail\":";
  append_points(out, live.trail);
  const Reported& r = s.reported;
  out += ",\"params\":{\"exposure\":" + opt(r.exposure) + ",\"laser\":" + opt(r.laser) +
         ",\"strength\":" + opt(r.strength) + ",\"task\":" + opt(r.task) + ",\"board_id\":" + opt(r.board_id) +
         ",\"serial_number\":" + opt(r.serial_number) + "}";
  out += ",\"pending\":{";
  for (std::size_t i = 0; i < s.pending.size(); ++i) {
    const Pending& p = s.pending[i];
    out += format("%s\"%s\":{\"value\":%u,\"for_s\":%s}", i ? "," : "", param_name(p.param), p.value,
                  num(s.now_s - p.since_s, 1).c_str());
  }
  out += '}';
  out += format(",\"video\":{\"available\":%s,\"on\":%s,\"seq\":%" PRIu64 ",\"frames\":%" PRIu64
                ",\"replaced\":%" PRIu64 ",\"width\":%d,\"height\":%d,\"error\":%s}",
                b(s.video.available), b(s.video.on), s.video.seq, s.video.frames, s.video.replaced, s.video.width,
                s.video.height, json_string(s.video.error).c_str());
  out += format(",\"snapshot\":{\"seq\":%" PRIu64
                ",\"format\":%s,\"width\":%d,\"height\":%d,\"busy\":%s,"
                "\"error\":%s}",
                s.snapshot.seq, json_string(s.snapshot.format).c_str(), s.snapshot.width, s.snapshot.height,
                b(s.snapshot.busy), json_string(s.snapshot.error).c_str());
  out +=
      format(",\"record\":{\"active\":%s,\"path\":%s,\"packets\":%" PRIu64 ",\"bytes\":%" PRIu64 ",\"error\":%s}",
             b(s.record.active), json_string(s.record.path).c_str(), s.record.packets, s.record.bytes,
             json_string(s.record.error).c_str());
  out += ",\"stats\":";
  append_stats(out, stats, s.service);
  out += '}';
  return out;
}

}  // namespace mokctl::view

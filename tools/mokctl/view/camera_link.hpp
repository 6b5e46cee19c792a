// The viewer's side of the camera connection: it feeds the live state from
// the library's callbacks and carries out the page's actions (parameter
// changes awaiting the camera's confirmation, snapshots, video, recording).
// Every action is validated before anything is sent; errors come back as
// sentences for the page.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "../session.hpp"
#include "live_state.hpp"
#include "status_json.hpp"

namespace mokctl {
class PacketRecorder;
}

namespace mokctl::view {

// An error sentence for the page, or nothing when the action was carried out.
using Refusal = std::optional<std::string>;

struct Picture {
  std::uint64_t seq = 0;
  std::string type;                 // MIME type of `bytes`
  std::vector<std::uint8_t> bytes;  // what a browser can show
};

struct Snapshot {
  Picture shown;
  std::string extension;      // of the image as received: jpg, png, raw
  int width = 0, height = 0;  // as reported with the image
  std::vector<std::uint8_t> original;
};

class CameraLink {
 public:
  // Hooks the callbacks on the session's client; `record_dir` receives recordings.
  CameraLink(Session& session, const GlobalOptions& g, HistoryLimits limits, std::string record_dir);
  // Unhooks the callbacks, switches video off and closes a running recording.
  ~CameraLink();
  CameraLink(const CameraLink&) = delete;
  CameraLink& operator=(const CameraLink&) = delete;

  Refusal set(const std::string& name, const std::string& value);
  Refusal take_snapshot();  // waits for the image (up to the time-out)
  Refusal video(bool on);
  Refusal record(bool start);

  // The live figures; safe from any thread.
  Status status();
  LiveState& live() { return live_; }
  mok_stats_t stats() const { return session_.client().stats(); }
  std::optional<Snapshot> snapshot() const;
  // The latest video frame as JPEG (encoded once per frame, shared by all pages).
  std::optional<Picture> video_frame();

 private:
  struct Video;
  void update_rates(Status& s, const mok_stats_t& st);

  Session& session_;
  const GlobalOptions& g_;
  const std::string record_dir_;
  LiveState live_;
  std::unique_ptr<Video> video_;

  mutable std::mutex mu_;  // guards everything below; never held across a camera wait
  std::vector<Pending> pending_;
  std::optional<Snapshot> snapshot_;
  std::uint64_t snapshot_seq_ = 0;
  bool snapshot_busy_ = false;
  std::string snapshot_error_;
  std::unique_ptr<PacketRecorder> recorder_;
  std::string record_path_, record_error_;
  std::uint64_t record_packets_ = 0, record_bytes_ = 0;
  // Rolling figures, updated about twice a second.
  double window_t_ = 0, rate_hz_ = 0, latency_ms_ = -1;
  std::uint64_t window_results_ = 0, window_latency_n_ = 0;
  double window_latency_sum_ = 0;
  std::uint64_t last_packets_ = 0;
  double last_packet_s_ = 0;
};

}  // namespace mokctl::view

// The emulated camera as an in-process object: a TCP server on a loopback (or
// given) address that serves any number of clients with register reports,
// scan results, snapshot images and optional live video, with faults that
// tests can switch on. mok-camsim's main is a thin wrapper around it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/result.hpp"
#include "common/wire.hpp"
#include "registers.hpp"
#include "scene.hpp"
#include "sim/cell/pose_sender.hpp"
#include "video_encoder.hpp"

namespace camsim {

namespace cell {
class Cell;
}

inline constexpr std::uint16_t kDefaultPort = 6833;

namespace stream = mok::wire::stream;
using SnapshotFormat = mok::wire::snapshot::ImageFormat;

// Misbehaviour on purpose, per connection, times counted from its accept.
// Zero switches a fault off.
struct Faults {
  double drop_every_s = 0;        // close the connection after this long (clients reconnect)
  double stall_after_s = 0;       // stop reading the client's bytes; sending goes on
  double freeze_after_s = 0;      // stop reading and sending; the socket stays open
  double corrupt_after_s = 0;     // send one head no reader accepts (length 2)
  double half_close_after_s = 0;  // shut down the sending side, keep reading
  double latency_ms = 0;          // every packet leaves this much later...
  double jitter_ms = 0;           // ...plus up to this much more (order is kept)
  // Register writes to these ids are answered with a report but not applied:
  // a camera that keeps its old value, so a client's confirmation must fail.
  std::vector<std::uint16_t> ignored_writes;
};

struct Options {
  std::string host = "127.0.0.1";
  std::uint16_t port = kDefaultPort;  // 0 picks a free one
  SceneConfig scene;
  double scan_rate = 200;  // scan results per second (up to 10,000 and more)
  // Profiles due within this window go out together (above 1,000 per second
  // with the default); 0 sends each at its own time, at a wake-up each.
  double scan_batch_ms = 1.0;
  double report_interval_s = 1.0;
  DeviceSettings device;
  std::optional<VideoConfig> video;  // live video when set
  Faults faults;
  std::string replay_file;  // replay this recording instead of simulating
  bool replay_loop = false;
  std::size_t max_queued_bytes = 16u << 20;  // per client; beyond it profiles are skipped
  // A robot cell scanned instead of the weaving scene: profiles, seam and
  // time stamps (the cell camera's clock) from the cell, whose run starts
  // with the simulator; the robot's poses go out over UDP when
  // cell_poses.port is set.
  std::shared_ptr<const cell::Cell> cell;
  cell::PoseSenderOptions cell_poses;
};

struct Stats {
  std::uint64_t accepted = 0;
  std::uint64_t open = 0;
  std::uint64_t scans_sent = 0;     // queued to clients, over all connections
  std::uint64_t scans_skipped = 0;  // profiles a slow client missed
  // Profiles queued more than 1 ms after they were taken (the batching
  // window and a late server thread).
  std::uint64_t scans_late = 0;
  std::uint64_t reports_sent = 0;
  std::uint64_t snapshots_sent = 0;
  std::uint64_t video_units_sent = 0;
};

class Simulator {
 public:
  explicit Simulator(Options options);
  // Stops if still running.
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Binds, starts the server thread (and the video thread) and returns the
  // bound port. Fails on a bad address, a port in use, an unreadable replay
  // file or an unavailable video encoder. A simulator runs once: after stop()
  // make a new one.
  mok::Result<std::uint16_t, std::string> start();
  // Closes every connection and joins the threads. Safe to call twice.
  void stop();

  bool running() const;
  std::uint16_t port() const;
  // When scene time 0 was (start()): the robot cell's run starts then.
  std::chrono::steady_clock::time_point start_time() const;
  Stats stats() const;
  // The camera's registers, shared with the server (for demos and tests).
  Registers& registers();

 private:
  struct Impl;
  friend class Connection;
  std::unique_ptr<Impl> impl_;
};

}  // namespace camsim

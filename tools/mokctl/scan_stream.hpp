// Receiving a stream of profiles: one row of figures per result for the CSV,
// the latest result kept whole for the plot, and the rolling figures behind
// the live one-line status.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <mok/mok.hpp>

namespace mokctl {

struct ScanRow {
  double t_s = 0;         // host receive time since the recorder started
  std::uint64_t pts = 0;  // device time stamp
  bool seam_found = false;
  std::uint32_t seam_idx = 0;
  float seam_y = 0, seam_z = 0;  // the seam point; 0 when not found
  float width = 0, height = 0, angle = 0;
  std::uint32_t points = 0;
  double latency_ms = -1;  // host receive time minus pts; -1 when the clocks disagree
};

// Figures over the results received since the previous call.
struct WindowStats {
  double rate_hz = 0;
  double seam_share = 0;  // 0..1
  std::size_t total = 0;
  std::optional<ScanRow> last;
  double mean_latency_ms = -1;
};

// Host receive time minus the device time stamp, both microseconds since the
// epoch once the device's RTS was set from this host; -1 when they are more
// than a minute apart (the device clock was never set).
double latency_ms(std::uint64_t pts_us);

ScanRow make_row(const mok::ScanResult& r, double t_s);

class ScanRecorder {
 public:
  ScanRecorder();
  // Installs the scan callback; detach before the recorder goes.
  void attach(mok::Client& client);
  void detach(mok::Client& client);

  // Waits until `n` results arrived or `until` passed; returns the count.
  std::size_t wait_for(std::size_t n, std::chrono::steady_clock::time_point until);
  std::size_t count() const;
  std::vector<ScanRow> rows() const;
  // The rows from index `from` on.
  std::vector<ScanRow> rows_since(std::size_t from) const;
  // Keeps every result whole until take_results() (for the point files);
  // take_latest() then has nothing, the taker holds the latest.
  void keep_results() { keep_ = true; }
  // The kept results since the previous call, with their result index.
  std::vector<std::pair<std::uint64_t, mok::ScanResult>> take_results();
  // Gives away the latest result (for the plot).
  std::optional<mok::ScanResult> take_latest();
  WindowStats window();

 private:
  void on_result(mok::ScanResult r);

  const std::chrono::steady_clock::time_point t0_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<ScanRow> rows_;
  std::optional<mok::ScanResult> latest_;
  bool keep_ = false;
  std::vector<std::pair<std::uint64_t, mok::ScanResult>> kept_;
  std::size_t window_start_ = 0;
  std::chrono::steady_clock::time_point window_t0_;
};

// Prints the live one-line status of a recorder twice a second until stopped:
// in place on a terminal, as plain lines otherwise; on standard error when
// standard output carries data.
class StatusLine {
 public:
  explicit StatusLine(ScanRecorder& recorder, std::FILE* out = stdout);
  ~StatusLine();  // stops and joins the printer
  StatusLine(const StatusLine&) = delete;
  StatusLine& operator=(const StatusLine&) = delete;

 private:
  void run();
  ScanRecorder& recorder_;
  std::FILE* out_;
  bool tty_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::thread thread_;
};

// The status line, cut or padded to one column less than `width`: rate, seam
// share, this window's last result's seam point (y, z), width, height and
// angle in the camera's units (the simulator: mm and degrees), or "no
// results" when none came, the mean latency and the total count.
std::string status_text(const WindowStats& s, std::size_t width);
// The terminal's width when `out` is one, else 80.
std::size_t terminal_width(bool tty, std::FILE* out);

}  // namespace mokctl

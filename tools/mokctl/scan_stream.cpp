// Scan callback bookkeeping and the live status printer.
#include "scan_stream.hpp"

#include <cmath>
#include <cstdio>

#include <sys/ioctl.h>
#include <unistd.h>

#include "session.hpp"

namespace mokctl {

double latency_ms(std::uint64_t pts_us) {
  auto now =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  double d = (static_cast<double>(now) - static_cast<double>(pts_us)) / 1000.0;
  return std::fabs(d) > 60000.0 ? -1.0 : d;
}

ScanRow make_row(const mok::ScanResult& r, double t_s) {
  ScanRow row;
  row.t_s = t_s;
  row.pts = r.pts();
  row.seam_found = r.seam_found();
  row.seam_idx = r.seam_point_idx();
  if (auto p = r.seam_point()) {
    row.seam_y = p->y;
    row.seam_z = p->z;
  }
  row.width = r.seam_width();
  row.height = r.seam_height();
  row.angle = r.seam_angle();
  row.points = static_cast<std::uint32_t>(r.points().size());
  row.latency_ms = latency_ms(row.pts);
  return row;
}

ScanRecorder::ScanRecorder() : t0_(std::chrono::steady_clock::now()), window_t0_(t0_) {}

void ScanRecorder::attach(mok::Client& client) {
  client.on_scan([this](mok::ScanResult r) { on_result(std::move(r)); });
}

void ScanRecorder::detach(mok::Client& client) { client.clear_scan_cb(); }

void ScanRecorder::on_result(mok::ScanResult r) {
  double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
  ScanRow row = make_row(r, t);
  std::lock_guard<std::mutex> lock(mu_);
  rows_.push_back(row);
  if (keep_) {
    kept_.emplace_back(rows_.size() - 1, std::move(r));  // the taker keeps the latest
  } else {
    latest_ = std::move(r);  // frees the previous result's handle
  }
  cv_.notify_all();
}

std::size_t ScanRecorder::wait_for(std::size_t n, std::chrono::steady_clock::time_point until) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_until(lock, until, [&] { return rows_.size() >= n; });
  return rows_.size();
}

std::size_t ScanRecorder::count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return rows_.size();
}

std::vector<ScanRow> ScanRecorder::rows() const {
  std::lock_guard<std::mutex> lock(mu_);
  return rows_;
}

std::vector<ScanRow> ScanRecorder::rows_since(std::size_t from) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (from >= rows_.size()) return {};
  return std::vector<ScanRow>(rows_.begin() + static_cast<std::ptrdiff_t>(from), rows_.end());
}

std::vector<std::pair<std::uint64_t, mok::ScanResult>> ScanRecorder::take_results() {
  std::lock_guard<std::mutex> lock(mu_);
  return std::exchange(kept_, {});
}

std::optional<mok::ScanResult> ScanRecorder::take_latest() {
  std::lock_guard<std::mutex> lock(mu_);
  return std::exchange(latest_, std::nullopt);
}

WindowStats ScanRecorder::window() {
  auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mu_);
  WindowStats s;
  s.total = rows_.size();
  std::size_t n = rows_.size() - window_start_;
  double dt = std::chrono::duration<double>(now - window_t0_).count();
  s.rate_hz = dt > 0 ? static_cast<double>(n) / dt : 0;
  std::size_t seams = 0, with_latency = 0;
  double latency_sum = 0;
  for (std::size_t i = window_start_; i < rows_.size(); ++i) {
    if (rows_[i].seam_found) ++seams;
    if (rows_[i].latency_ms >= -0.5) {
      latency_sum += rows_[i].latency_ms;
      ++with_latency;
    }
  }
  s.seam_share = n ? static_cast<double>(seams) / static_cast<double>(n) : 0;
  if (with_latency) s.mean_latency_ms = latency_sum / static_cast<double>(with_latency);
  // Only a result of this window: old seam values must not pass for live ones.
  if (n > 0) s.last = rows_.back();
  window_start_ = rows_.size();
  window_t0_ = now;
  return s;
}

std::string status_text(const WindowStats& s, std::size_t width) {
  std::string line = format("%5.0f res/s seam %3.0f%%", s.rate_hz, s.seam_share * 100.0);
  if (!s.last) {
    line += "  no results";
  } else if (s.last->seam_found) {
    line += format(" y %6.2f z %6.2f w %5.1f h %5.1f a %5.1f", s.last->seam_y, s.last->seam_z, s.last->width,
                   s.last->height, s.last->angle);
  } else {
    line += "  no seam";
  }
  if (s.mean_latency_ms >= 0) line += format(" lat %.1fms", s.mean_latency_ms);
  line += format(" [%zu]", s.total);
  // One column short of the width, so the cursor never wraps the line; the
  // padding overwrites a longer line drawn before.
  const std::size_t fit = width > 1 ? width - 1 : 79;
  line.resize(fit, ' ');
  return line;
}

std::size_t terminal_width(bool tty, std::FILE* out) {
  winsize ws{};
  if (tty && ioctl(fileno(out), TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20) return ws.ws_col;
  return 80;
}

StatusLine::StatusLine(ScanRecorder& recorder, std::FILE* out)
    : recorder_(recorder), out_(out), tty_(isatty(fileno(out)) != 0), thread_([this] { run(); }) {}

StatusLine::~StatusLine() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
  // The closing figures, also when the stream was shorter than one interval.
  std::string line = status_text(recorder_.window(), terminal_width(tty_, out_));
  if (!tty_) line.erase(line.find_last_not_of(' ') + 1);
  std::fprintf(out_, tty_ ? "\r%s\n" : "%s\n", line.c_str());
  std::fflush(out_);
}

void StatusLine::run() {
  recorder_.window();  // start the first window now
  std::unique_lock<std::mutex> lock(mu_);
  while (!cv_.wait_for(lock, std::chrono::milliseconds(tty_ ? 250 : 1000), [&] { return stop_; })) {
    std::string line = status_text(recorder_.window(), terminal_width(tty_, out_));
    if (tty_) {
      std::fprintf(out_, "\r%s", line.c_str());
    } else {
      line.erase(line.find_last_not_of(' ') + 1);
      std::fprintf(out_, "%s\n", line.c_str());
    }
    std::fflush(out_);
  }
}

}  // namespace mokctl

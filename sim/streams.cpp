// What a connection sends of its own accord: register reports on connect,
// on a timer and after writes, and scan results of the scene at the scan rate.
#include <algorithm>

#include "common/log.hpp"
#include "sim/cell_scan.hpp"
#include "sim/scan_payload.hpp"
#include "sim/server.hpp"

namespace camsim {

void Connection::push_report() {
  auto payload = std::make_shared<std::vector<std::uint8_t>>(sim_.regs.report(mok::monotonic_us()));
  const auto head = make_head(payload->size(), mok::fxt::Kind::FlexRegs, stream::kRegisters, 0);
  push(head, std::move(payload));
  ++sim_.reports_sent;
}

awaitable<void> Connection::reporter() {
  const auto every = seconds(std::max(0.01, sim_.opt.report_interval_s));
  auto next = Clock::now() + every;
  while (!closed_) {
    co_await sleep_until(next);
    if (closed_) co_return;
    if (!frozen_ && !half_closed_) push_report();
    next += every;
  }
}

awaitable<void> Connection::scanner() {
  const double rate = std::max(0.001, sim_.opt.scan_rate);
  const auto frame_time = [&](std::uint64_t f) { return sim_.start_time + seconds(double(f) / rate); };
  const auto due_frame = [&] { return static_cast<std::uint64_t>(sim_.scene_time(Clock::now()) * rate); };
  // Profiles due within the batching window go out together (by default a
  // millisecond's worth above 1,000 per second).
  const auto min_sleep = std::max(std::chrono::microseconds(1),
                                  std::chrono::microseconds(static_cast<long>(sim_.opt.scan_batch_ms * 1e3)));
  std::uint64_t next = due_frame() + 1;
  Profile profile;
  while (!closed_) {
    co_await sleep_until(std::max(frame_time(next), Clock::now() + min_sleep));
    if (closed_) co_return;
    if (frozen_ || half_closed_) continue;
    if (queued_bytes_ > sim_.opt.max_queued_bytes) {
      drained_.expires_at(Clock::time_point::max());
      co_await drained_.async_wait(kAsTuple);
      continue;
    }
    const std::uint64_t due = due_frame();
    if (due < next) continue;
    const DeviceSettings s = sim_.regs.settings();
    if (!s.laser_enable) {  // laser off: the camera has nothing to measure
      next = due + 1;
      continue;
    }
    // More than a second behind (a slow client): skip to the present as a
    // camera would, keeping seq contiguous over what is actually sent.
    const auto backlog = static_cast<std::uint64_t>(rate);
    if (due - next > backlog) {
      sim_.scans_skipped += due - backlog - next;
      mok::log::warn(kLog, "client {}: too slow, {} profiles skipped", id_, due - backlog - next);
      next = due - backlog;
    }
    // The RTS clock and the scene's clock from one reading (the steady
    // clock is the monotonic one here): a profile's pts is then the RTS
    // clock at the moment it was taken, however long the batch takes to
    // build or the thread waits between reads. Reading the scene's clock
    // per profile made pts step back when that took longer than a frame.
    const auto now = Clock::now();
    const std::uint64_t rts_now = sim_.regs.rts(static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count()));
    const double scene_now = sim_.scene_time(now);
    for (; next <= due && !closed_; ++next) {
      const double t = double(next) / rate;
      const auto age_us = static_cast<std::uint64_t>(std::max(0.0, scene_now - t) * 1e6);
      std::uint64_t pts = rts_now - std::min(rts_now, age_us);
      if (sim_.scene_time(Clock::now()) - t > 1e-3) ++sim_.scans_late;  // queued more than 1 ms after taken
      profile = sim_.opt.cell ? cell_scan_profile(*sim_.opt.cell, next, t, pts)
                              : generate_profile(sim_.opt.scene, next, t);
      auto payload = std::make_shared<std::vector<std::uint8_t>>();
      encode_scan_payload(profile, pts, *payload);
      const auto head = make_head(payload->size(), mok::fxt::Kind::Data, stream::kScan, ++scan_seq_);
      push(head, std::move(payload));
      ++sim_.scans_sent;
    }
  }
}

}  // namespace camsim

// The scan result queue's exports: switching the queue on and popping a batch
// of results in one call, as host-owned handles or copied into host buffers.
// A pop holds its own reference to the queue, so mok_close can wake and
// outlive it safely.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "brelo/bounded_wait.hpp"
#include "common/library_thread.hpp"
#include "ffi/handles.hpp"

namespace {

constexpr std::size_t kMaxBatch = mok::brelo::ScanQueue::kMaxCapacity;
static_assert(MOK_SCAN_QUEUE_MAX_CAPACITY == kMaxBatch);

// Wraps each result in a handle of its own. Should an allocation fail, the
// handles made so far are released and the batch is lost as a whole.
int32_t hand_out(std::span<mok::brelo::ScanResultPtr> taken, mok_scan_result_t** out, uint32_t* count) {
  std::size_t made = 0;
  try {
    for (; made < taken.size(); ++made) {
      out[made] = new mok_scan_result{std::move(taken[made])};
    }
  } catch (...) {
    for (std::size_t i = 0; i < made; ++i) {
      delete out[i];
    }
    return MOK_ERR_OTHER;
  }
  *count = static_cast<uint32_t>(made);
  return MOK_OK;
}

// Copies each taken result into its record and its points after the
// previous result's; the caller made sure they fit.
void copy_out(std::span<const mok::brelo::ScanResultPtr> taken, mok_scan_record_t* records,
              mok_scan_point_t* points) {
  constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
  uint64_t offset = 0;
  for (std::size_t i = 0; i < taken.size(); ++i) {
    const mok::brelo::ScanResult& r = *taken[i];
    mok_scan_record_t& rec = records[i];
    rec = mok_scan_record_t{};
    rec.pts = r.pts;
    rec.point_offset = offset;
    rec.point_count = r.point_count;
    rec.seam_point_idx = r.seam_point_idx;
    rec.seam_point = {kNan, kNan, kNan, kNan};
    if (r.seam_found && r.seam_point_idx < r.seam_points.size()) {
      std::memcpy(&rec.seam_point, &r.seam_points[r.seam_point_idx], sizeof rec.seam_point);
    }
    rec.seam_width = r.seam_width;
    rec.seam_height = r.seam_height;
    rec.seam_angle = r.seam_angle;
    rec.seam_found = r.seam_found ? 1 : 0;
    if (r.point_count != 0) {
      std::memcpy(points + offset, r.points.get(), sizeof(mok_scan_point_t) * r.point_count);
    }
    offset += r.point_count;
  }
}

std::vector<mok::brelo::ScanResultPtr>& taken_on_this_thread() {
  thread_local std::vector<mok::brelo::ScanResultPtr> taken;
  return taken;
}

// The rules every pop shares: the queue held by reference, the time-out, no
// wait inside a callback. `pop(queue, taken, timeout)` fills the per-thread
// `taken`, which is kept so a pop allocates nothing of its own; the queue
// never holds more than its largest capacity. `deliver(n)` hands the first n
// to the host.
template <class Pop, class Deliver>
int32_t pop_with(mok_client_t* client, uint32_t max_n, uint64_t timeout_ms, Pop&& pop, Deliver&& deliver) {
  return mok::ffi::status_call(client, [&](mok::brelo::Client& c) -> int32_t {
    const std::shared_ptr<mok::brelo::ScanQueue> queue = c.scan_queue();
    // Inside a callback the results it waits for are delivered by this very
    // thread: take what is there, never wait.
    const bool refuse_wait = timeout_ms > 0 && mok::on_library_thread();
    const auto timeout = refuse_wait ? std::chrono::nanoseconds::zero() : mok::brelo::millis_to_nanos(timeout_ms);
    std::vector<mok::brelo::ScanResultPtr>& taken = taken_on_this_thread();
    taken.resize(std::min<std::size_t>(max_n, kMaxBatch));
    auto n = pop(*queue, std::span(taken), timeout);
    if (!n) {
      return refuse_wait && n.error().kind == mok::brelo::ErrorKind::Timeout ? MOK_ERR_IN_CALLBACK
                                                                             : n.error().code();
    }
    const int32_t status = deliver(std::span(taken).first(*n));
    // Whatever the host did not take over (copied results) is released now,
    // not at the thread's next pop.
    std::fill_n(taken.begin(), *n, nullptr);
    return status;
  });
}

}  // namespace

extern "C" MOK_API int32_t mok_scan_queue_enable(mok_client_t* client, uint32_t capacity) {
  return mok::ffi::status_call(client, [&](mok::brelo::Client& c) {
    return mok::ffi::status_of(c, c.scan_queue()->set_capacity(capacity));
  });
}

extern "C" MOK_API int32_t mok_scan_queue_pop(mok_client_t* client, mok_scan_result_t** out, uint32_t max_n,
                                              uint64_t timeout_ms, uint32_t* count) {
  if (count != nullptr) {
    *count = 0;
  }
  if (client == nullptr || out == nullptr || count == nullptr || max_n == 0) {
    return MOK_ERR_INVALID_ARGUMENT;
  }
  return pop_with(
      client, max_n, timeout_ms,
      [](mok::brelo::ScanQueue& q, std::span<mok::brelo::ScanResultPtr> taken, std::chrono::nanoseconds timeout) {
        return q.pop(taken, timeout);
      },
      [&](std::span<mok::brelo::ScanResultPtr> taken) { return hand_out(taken, out, count); });
}

extern "C" MOK_API int32_t mok_scan_queue_pop_into(mok_client_t* client, mok_scan_record_t* records,
                                                   uint32_t max_n, mok_scan_point_t* points, uint64_t max_points,
                                                   uint64_t timeout_ms, uint32_t* count, uint64_t* points_used) {
  if (count != nullptr) {
    *count = 0;
  }
  if (points_used != nullptr) {
    *points_used = 0;
  }
  if (client == nullptr || records == nullptr || (points == nullptr && max_points != 0) || count == nullptr ||
      points_used == nullptr || max_n == 0) {
    return MOK_ERR_INVALID_ARGUMENT;
  }
  std::size_t needed = 0;
  const int32_t status = pop_with(
      client, max_n, timeout_ms,
      [&](mok::brelo::ScanQueue& q, std::span<mok::brelo::ScanResultPtr> taken, std::chrono::nanoseconds timeout) {
        return q.pop_within(taken, timeout, static_cast<std::size_t>(max_points), needed);
      },
      [&](std::span<mok::brelo::ScanResultPtr> taken) {
        copy_out(taken, records, points);
        *count = static_cast<uint32_t>(taken.size());
        *points_used = records[taken.size() - 1].point_offset + records[taken.size() - 1].point_count;
        return MOK_OK;
      });
  if (status == MOK_ERR_INVALID_ARGUMENT) {
    *points_used = needed;
  }
  return status;
}

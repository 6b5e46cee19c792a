// The scan result queue's exports: switching the queue on and popping a batch
// of results as host-owned handles in one call. The pop holds its own
// reference to the queue, so mok_close can wake and outlive it safely.
#include <algorithm>
#include <cstdint>
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
  return mok::ffi::status_call(client, [&](mok::brelo::Client& c) -> int32_t {
    const std::shared_ptr<mok::brelo::ScanQueue> queue = c.scan_queue();
    // Inside a callback the results it waits for are delivered by this very
    // thread: take what is there, never wait.
    const bool refuse_wait = timeout_ms > 0 && mok::on_library_thread();
    const auto timeout = refuse_wait ? std::chrono::nanoseconds::zero() : mok::brelo::millis_to_nanos(timeout_ms);
    // Kept per thread, so a pop allocates nothing but the handles; the queue
    // never holds more than its largest capacity.
    thread_local std::vector<mok::brelo::ScanResultPtr> taken;
    taken.resize(std::min<std::size_t>(max_n, kMaxBatch));
    auto n = queue->pop(taken, timeout);
    if (!n) {
      return refuse_wait && n.error().kind == mok::brelo::ErrorKind::Timeout ? MOK_ERR_IN_CALLBACK
                                                                              : n.error().code();
    }
    return hand_out(std::span(taken).first(*n), out, count);
  });
}

// Batches of packed profile rows with reused buffers (see profile_batches.hpp).
#include "profile_batches.hpp"

#include <cstring>
#include <utility>

#include "profile_rows.hpp"

namespace bridge {

std::size_t Batch::bytes() const { return std::size_t{rows} * width * kPointStep; }

BatchQueue::Added BatchQueue::add(const mok_scan_point_t* points, std::uint32_t count, std::uint32_t index,
                                  std::int64_t stamp_ns, std::int64_t now_ns, std::uint32_t rows_per_batch,
                                  std::uint32_t& missing) {
  missing = 0;
  if (waiting_ >= max_profiles_) return Added::kDropped;
  if (open_.rows > 0 && open_.width != count) close();
  const bool opened = open_.rows == 0;
  if (opened) {
    if (!open_.data && !spare_.empty()) {
      open_ = std::move(spare_.back());
      spare_.pop_back();
    }
    open_.width = count;
    open_.stamp_ns = stamp_ns;
    open_.opened_ns = now_ns;
  }
  const std::size_t at = open_.bytes();
  const std::size_t need = at + std::size_t{count} * kPointStep;
  if (need > open_.capacity) {
    // Grows to what the batch ends up needing after a few profiles, then stays.
    std::size_t capacity = open_.capacity ? open_.capacity : 16384;
    while (capacity < need) capacity *= 2;
    auto data = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
    if (at > 0) std::memcpy(data.get(), open_.data.get(), at);
    open_.data = std::move(data);
    open_.capacity = capacity;
  }
  missing = pack_row(points, count, index, open_.data.get() + at);
  ++open_.rows;
  ++waiting_;
  if (open_.rows >= rows_per_batch) {
    close();
    return Added::kClosed;
  }
  return opened ? Added::kOpened : Added::kAdded;
}

void BatchQueue::close() {
  closed_.push_back(std::move(open_));
  open_ = Batch{};
}

bool BatchQueue::take(Batch& out, bool open_too) {
  Batch* from = nullptr;
  if (!closed_.empty()) {
    from = &closed_.front();
  } else if (open_too && open_.rows > 0) {
    from = &open_;
  } else {
    return false;
  }
  if (out.data) {
    out.rows = 0;
    spare_.push_back(std::move(out));
  }
  out = std::move(*from);
  *from = Batch{};
  if (from != &open_) closed_.pop_front();
  waiting_ -= out.rows;
  return true;
}

}  // namespace bridge

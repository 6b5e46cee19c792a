// The profiles waiting for the publishing thread, as PointCloud2 rows: the
// camera's callback packs each profile straight into the open batch, and the
// publishing thread takes whole batches. Buffers go round (open, closed,
// written, reused), so in steady state nothing is allocated and each point
// is copied once before DDS serializes it. Not synchronised: the caller
// holds one lock around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include <mok/mok.h>

namespace bridge {

// Consecutive profiles of one width, stamped by the first.
struct Batch {
  std::unique_ptr<std::uint8_t[]> data;  // rows * width * kPointStep bytes in use
  std::size_t capacity = 0;
  std::uint32_t rows = 0;
  std::uint32_t width = 0;
  std::int64_t stamp_ns = 0;   // header stamp
  std::int64_t opened_ns = 0;  // when its first row came, on the caller's clock
  std::size_t bytes() const;
};

class BatchQueue {
 public:
  enum class Added { kDropped, kOpened, kAdded, kClosed };

  // At most `max_profiles` profiles wait in open and closed batches.
  explicit BatchQueue(std::size_t max_profiles) : max_profiles_(max_profiles) {}

  // Packs one profile into the open batch (closing it first when the width
  // differs) and closes the batch once it holds `rows_per_batch` rows.
  // kDropped when `max_profiles` are already waiting; `missing` gets the
  // points written as NaN.
  Added add(const mok_scan_point_t* points, std::uint32_t count, std::uint32_t index, std::int64_t stamp_ns,
            std::int64_t now_ns, std::uint32_t rows_per_batch, std::uint32_t& missing);

  bool has_closed() const { return !closed_.empty(); }
  bool has_open() const { return open_.rows > 0; }
  std::int64_t open_since_ns() const { return open_.opened_ns; }

  // Swaps the oldest closed batch (or, with `open_too` and none closed, the
  // open one) into `out`; the buffer `out` held is kept for reuse. False when
  // there is none.
  bool take(Batch& out, bool open_too);

 private:
  void close();

  std::size_t max_profiles_;
  std::size_t waiting_ = 0;  // rows in open_ and closed_
  Batch open_;
  std::deque<Batch> closed_;
  std::vector<Batch> spare_;
};

}  // namespace bridge

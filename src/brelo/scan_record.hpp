// Scan-result records whose point array lives in the record's own
// allocation: one allocation per record, holding the shared count, the
// record (seam points, seam block, segment table) and room for its points.
#pragma once

#include <cstddef>
#include <memory>

#include "brelo/types.hpp"

namespace mok::brelo {

// A record with room for `point_capacity` points (zeroed), made in one
// allocation; decode_scan_result_into then writes a payload of up to that
// many points into it without allocating.
std::shared_ptr<ScanResult> make_scan_record(std::size_t point_capacity);

// The room a connection's record is given for a payload announcing `count`
// points: rounded up, so a camera whose point count varies a little keeps
// reusing its records.
std::size_t record_capacity_for(std::size_t count) noexcept;

}  // namespace mok::brelo

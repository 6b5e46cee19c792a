// Payload codecs of the device protocol that need no connection: the
// scan-result decoder and the snapshot image builder.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "brelo/types.hpp"

namespace mok::brelo {

// Smallest valid scan-result payload: everything up to the first point record.
inline constexpr std::size_t kScanHeaderLen = 1216;

// Decodes one scan-result payload, or nothing when it fails validation
// (too short, wrong format byte, too many points, declared length beyond the
// payload, or fewer bytes than its point records need). Never reads past the
// payload. Allocates only the point array.
std::optional<ScanResult> decode_scan_result(std::span<const std::uint8_t> payload);

// The point count a scan payload announces, valid or not (0 when it is too
// short to say).
std::size_t scan_point_count(std::span<const std::uint8_t> payload) noexcept;

// The same decode into an existing record, whose point array is reused when
// it is long enough (no allocation then). False, with `out` unchanged, when
// the payload fails validation. A result without points has none.
bool decode_scan_result_into(std::span<const std::uint8_t> payload, ScanResult& out);

// Recognises the image format by its first bytes (JPEG before PNG, else raw)
// and copies the payload; raw images carry the given cached dimensions when
// the payload has at least width x height bytes, else 0 and 0.
SnapshotImage make_snapshot_image(std::span<const std::uint8_t> payload, std::uint16_t width,
                                  std::uint16_t height);

SnapshotFormat detect_snapshot_format(std::span<const std::uint8_t> payload) noexcept;

}  // namespace mok::brelo

// The camera protocol's fixed numbers, written down once: the head's size
// and limits, the packet kinds, the stream ids, the register ids and the
// entries of a snapshot request (docs/wire-protocol.md describes each). The
// device client, the simulator, the tools, the benchmarks and the tests all
// take them from here, so no copy of a number can drift from the others.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mok::wire {

// ---- Packet head ------------------------------------------------------------
inline constexpr std::size_t kHeadLen = 24;
// Smallest and largest length a received head may announce.
inline constexpr std::uint32_t kMinLength = 4;
inline constexpr std::uint32_t kMaxLength = 0x4000000;
// Stream ids must be below this.
inline constexpr std::uint16_t kStreamIdLimit = 512;
// Where the head's big-endian stream id sits.
inline constexpr std::size_t kHeadStreamIdAt = 6;

// What a packet's payload holds. An enumerator may also carry an undefined
// code when a host stores one through the C interface, so code that switches
// on Kind must expect that.
enum class Kind : std::uint8_t {
  Data = 0,
  Headers = 1,
  Priority = 2,
  Reset = 3,
  Settings = 4,
  PushPromise = 5,
  Ping = 6,
  GoAway = 7,
  WindowUpdate = 8,
  Continuation = 9,
  FlexRegs = 20,
  Json = 21,
  Xml = 22,
  VideoH264 = 23,
  VideoH265 = 24,
  VideoVP8 = 25,
  VideoVP9 = 26,
  RawGray8 = 30,
  RawGray16 = 31,
  RawYuv = 32,
  RawRgb = 33,
  Unknown = 255,
};

// ---- Streams ----------------------------------------------------------------
// Video kinds are video on any stream; the simulator sends them on kVideo.
namespace stream {
inline constexpr std::uint16_t kRegisters = 0;  // writes to the camera, reports from it
inline constexpr std::uint16_t kSnapshotRequest = 1;
inline constexpr std::uint16_t kSnapshotImage = 2;
inline constexpr std::uint16_t kVideo = 3;
inline constexpr std::uint16_t kScan = 18;
}  // namespace stream

// ---- Scan-result payload ----------------------------------------------------
// Offsets of its fields (little-endian), written by the simulator and read by
// the device client's decoder and the tools.
namespace scan {
inline constexpr std::uint8_t kScanFormat = 2;  // the format byte's value
inline constexpr std::size_t kFormatAt = 2;
inline constexpr std::size_t kScaledAt = 3;
inline constexpr std::size_t kFrameCounterAt = 4;  // the simulator's: lets a reader spot skipped frames
inline constexpr std::size_t kDeclaredLenAt = 34;
inline constexpr std::size_t kDeclaredLenBias = 36;  // the declared length counts from here
inline constexpr std::size_t kPtsAt = 36;
inline constexpr std::size_t kSeamFoundAt = 44;
inline constexpr std::size_t kOffsetYAt = 46;
inline constexpr std::size_t kOffsetZAt = 48;
inline constexpr std::size_t kSeamIdxAt = 50;
inline constexpr std::size_t kSeamWidthAt = 52;
inline constexpr std::size_t kSeamHeightAt = 54;
inline constexpr std::size_t kSeamAngleAt = 56;
inline constexpr std::size_t kSeamPointsAt = 58;
inline constexpr std::size_t kInfoHeadAt = 90;
inline constexpr std::size_t kInfoValuesAt = 98;
inline constexpr std::size_t kInfoTailAt = 170;
inline constexpr std::size_t kInfoWordAt = 178;
inline constexpr std::size_t kSegmentsAt = 182;
inline constexpr std::size_t kSegmentLen = 28;
inline constexpr std::size_t kMaxSegments = 32;
inline constexpr std::size_t kExtraPointAt = 1078;
inline constexpr std::size_t kExtraValuesAt = 1082;
inline constexpr std::size_t kPointCountAt = 1214;
inline constexpr std::size_t kPointRecordLen = 4;
}  // namespace scan

// ---- Registers --------------------------------------------------------------
namespace reg {
inline constexpr std::uint16_t kCts = 0x1100;
inline constexpr std::uint16_t kRts = 0x1108;
inline constexpr std::uint16_t kSerialNumber = 0x11B0;
inline constexpr std::uint16_t kBoardId = 0x11C0;
inline constexpr std::uint16_t kImageWidth = 0x1200;
inline constexpr std::uint16_t kImageHeight = 0x1202;
inline constexpr std::uint16_t kRtsPull = 0x161C;
inline constexpr std::uint16_t kExposureTime = 0x1800;
inline constexpr std::uint16_t kLaserEnable = 0x1A00;
inline constexpr std::uint16_t kLaserStrength = 0x1A04;
inline constexpr std::uint16_t kTaskId = 0x1C0C;
}  // namespace reg

// ---- Snapshot request -------------------------------------------------------
// A register record of five 32-bit entries, in this order, on
// stream::kSnapshotRequest. The library passes the first three values through
// unchanged; the comments say what the simulator makes of them.
namespace snapshot {
inline constexpr std::uint16_t kFormat = 1;    // an ImageFormat
inline constexpr std::uint16_t kQuality = 2;   // JPEG quality 1 to 100; 0: the default (85)
inline constexpr std::uint16_t kMarkSeam = 3;  // 1: draw the found seam on the image
// Two entries every request carries with fixed values.
inline constexpr std::uint16_t kFixed1 = 4;
inline constexpr std::uint32_t kFixed1Value = 1;
inline constexpr std::uint16_t kFixed2 = 5;
inline constexpr std::uint32_t kFixed2Value = 50;
// Five entries of reserved byte, word count, id and a 32-bit value.
inline constexpr std::size_t kRequestLen = 40;

enum class ImageFormat : std::uint32_t { Raw = 0, Jpeg = 1, Png = 2 };
}  // namespace snapshot

}  // namespace mok::wire

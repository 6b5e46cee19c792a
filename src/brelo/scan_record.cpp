// The one-block scan record: an allocator that gives allocate_shared what it
// asks for plus a host handle's room and the points' room behind it, and says
// where those are.
#include "brelo/scan_record.hpp"

#include <algorithm>
#include <new>

namespace mok::brelo {
namespace {

constexpr std::size_t kCapacityStep = 256;

struct Rooms {
  void* host = nullptr;
  ScanPoint* points = nullptr;
};

template <class T>
class WithPointRoom {
 public:
  using value_type = T;

  // `room` receives where the handle and the points go; only the one
  // allocation that allocate_shared makes writes it.
  WithPointRoom(std::size_t points, Rooms* room) noexcept : points_(points), room_(room) {}
  template <class U>
  WithPointRoom(const WithPointRoom<U>& other) noexcept : points_(other.points_), room_(other.room_) {}

  T* allocate(std::size_t n) {
    constexpr std::size_t kAlign = __STDCPP_DEFAULT_NEW_ALIGNMENT__;
    static_assert(alignof(T) <= kAlign && alignof(ScanPoint) <= kAlign && kHostRoomBytes % kAlign == 0);
    const std::size_t head = (n * sizeof(T) + kAlign - 1) / kAlign * kAlign;
    auto* block = static_cast<std::byte*>(::operator new(head + kHostRoomBytes + points_ * sizeof(ScanPoint)));
    room_->host = block + head;
    room_->points = reinterpret_cast<ScanPoint*>(block + head + kHostRoomBytes);
    return reinterpret_cast<T*>(block);
  }
  void deallocate(T* p, std::size_t) noexcept { ::operator delete(p); }

  template <class U>
  bool operator==(const WithPointRoom<U>& other) const noexcept {
    return points_ == other.points_;
  }

 private:
  template <class U>
  friend class WithPointRoom;
  std::size_t points_;
  Rooms* room_;
};

}  // namespace

std::shared_ptr<ScanResult> make_scan_record(std::size_t point_capacity) {
  Rooms room;
  auto record = std::allocate_shared<ScanResult>(WithPointRoom<ScanResult>(point_capacity, &room));
  record->host_room = room.host;
  if (point_capacity > 0) {
    std::uninitialized_value_construct_n(room.points, point_capacity);
    // Freed with the block, not on its own.
    record->points = PointArray(room.points, PointArrayDeleter{false});
    record->point_capacity = static_cast<std::uint32_t>(point_capacity);
  }
  return record;
}

std::size_t record_capacity_for(std::size_t count) noexcept {
  return std::min(kMaxScanPoints, (count + kCapacityStep - 1) / kCapacityStep * kCapacityStep);
}

}  // namespace mok::brelo

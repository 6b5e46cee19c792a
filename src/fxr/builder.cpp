// Bodies of the Builder pushes: every entry is appended whole or not at all.
#include "fxr/builder.hpp"

namespace mok::fxr {

void Builder::put_header(std::uint16_t id, std::size_t value_bytes) {
  // An empty value still occupies one word so the header never announces 0.
  const std::size_t words = value_bytes == 0 ? 1 : (value_bytes + 1) / 2;
  buf_.push_back(0);
  buf_.push_back(static_cast<std::uint8_t>(words));
  buf_.push_back(static_cast<std::uint8_t>(id & 0xFF));
  buf_.push_back(static_cast<std::uint8_t>(id >> 8));
}

template <Scalar T>
void Builder::push(std::uint16_t id, T value) {
  put_header(id, sizeof(T));
  std::uint8_t le[sizeof(T)];
  store_le<T>(value, le);
  buf_.insert(buf_.end(), le, le + sizeof(T));
  if constexpr (sizeof(T) == 1) buf_.push_back(0);
}

PushResult Builder::push(std::uint16_t id, std::span<const std::uint8_t> bytes) {
  if (bytes.size() > kMaxValueBytes) return err(PushError::ValueTooLong);
  buf_.reserve(buf_.size() + kEntryHeaderBytes + bytes.size() + 2);
  put_header(id, bytes.size());
  buf_.insert(buf_.end(), bytes.begin(), bytes.end());
  if (bytes.empty()) {
    buf_.insert(buf_.end(), {0, 0});
  } else if (bytes.size() % 2 != 0) {
    buf_.push_back(0);
  }
  return {};
}

PushResult Builder::push(std::uint16_t id, std::string_view text) {
  return push(id, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

template <ArrayElement T>
PushResult Builder::encode_with(std::uint16_t id, std::size_t byte_length, std::span<const T> elements) {
  if (byte_length > kMaxValueBytes) return err(PushError::ValueTooLong);
  if (byte_length != elements.size_bytes()) return err(PushError::LengthMismatch);
  buf_.reserve(buf_.size() + kEntryHeaderBytes + byte_length + 2);
  put_header(id, byte_length);
  for (const T& e : elements) {
    std::uint8_t le[sizeof(T)];
    store_le<T>(e, le);
    buf_.insert(buf_.end(), le, le + sizeof(T));
  }
  // Element sizes are even, so an odd byte length cannot occur here; only the
  // empty array needs its two zero bytes.
  if (byte_length == 0) buf_.insert(buf_.end(), {0, 0});
  return {};
}

void Builder::append_raw(std::span<const std::uint8_t> bytes) {
  buf_.insert(buf_.end(), bytes.begin(), bytes.end());
}

#define MOK_FXR_INSTANTIATE_PUSH(T) template void Builder::push<T>(std::uint16_t, T);
MOK_FXR_INSTANTIATE_PUSH(std::int8_t)
MOK_FXR_INSTANTIATE_PUSH(std::uint8_t)
MOK_FXR_INSTANTIATE_PUSH(std::int16_t)
MOK_FXR_INSTANTIATE_PUSH(std::uint16_t)
MOK_FXR_INSTANTIATE_PUSH(std::int32_t)
MOK_FXR_INSTANTIATE_PUSH(std::uint32_t)
MOK_FXR_INSTANTIATE_PUSH(std::int64_t)
MOK_FXR_INSTANTIATE_PUSH(std::uint64_t)
MOK_FXR_INSTANTIATE_PUSH(float)
MOK_FXR_INSTANTIATE_PUSH(double)
#undef MOK_FXR_INSTANTIATE_PUSH

#define MOK_FXR_INSTANTIATE_ENCODE(T) \
  template PushResult Builder::encode_with<T>(std::uint16_t, std::size_t, std::span<const T>);
MOK_FXR_INSTANTIATE_ENCODE(std::int16_t)
MOK_FXR_INSTANTIATE_ENCODE(std::uint16_t)
MOK_FXR_INSTANTIATE_ENCODE(std::int32_t)
MOK_FXR_INSTANTIATE_ENCODE(std::uint32_t)
MOK_FXR_INSTANTIATE_ENCODE(std::int64_t)
MOK_FXR_INSTANTIATE_ENCODE(std::uint64_t)
MOK_FXR_INSTANTIATE_ENCODE(float)
MOK_FXR_INSTANTIATE_ENCODE(double)
#undef MOK_FXR_INSTANTIATE_ENCODE

}  // namespace mok::fxr

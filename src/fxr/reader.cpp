// Bodies of the record walk and the lookups built on it.
#include "fxr/reader.hpp"

namespace mok::fxr {

std::optional<Entry> RegisterIter::next() noexcept {
  const std::size_t remaining = rec_.size() - pos_;
  if (remaining < 4) {
    pos_ = rec_.size();
    return std::nullopt;
  }
  // The reserved byte at pos_ is deliberately not looked at.
  const std::size_t value_bytes = 2u * rec_[pos_ + 1];
  const auto id = static_cast<std::uint16_t>(rec_[pos_ + 2] | (rec_[pos_ + 3] << 8));
  if (remaining - 4 < value_bytes) {
    // A cut-short entry hides everything after it; stay at the end from now on.
    pos_ = rec_.size();
    return std::nullopt;
  }
  Entry e{id, rec_.subspan(pos_ + 4, value_bytes)};
  pos_ += 4 + value_bytes;
  return e;
}

std::optional<Entry> Reader::find(std::uint16_t id) const noexcept {
  RegisterIter it{rec_};
  while (auto e = it.next()) {
    if (e->id == id) return e;
  }
  return std::nullopt;
}

template <Scalar T>
std::optional<T> Reader::peek(std::uint16_t id) const noexcept {
  const auto e = find(id);
  if (!e) return std::nullopt;
  return MapTo<T>::map_to(e->value);
}

template <Scalar T>
std::optional<std::vector<T>> Reader::peek_slice(std::uint16_t id) const {
  const auto e = find(id);
  if (!e) return std::nullopt;
  return MapTo<std::vector<T>>::map_to(e->value);
}

std::optional<std::string> Reader::peek_text(std::uint16_t id) const {
  const auto e = find(id);
  if (!e) return std::nullopt;
  return MapTo<std::string>::map_to(e->value);
}

#define MOK_FXR_INSTANTIATE_PEEK(T)                                        \
  template std::optional<T> Reader::peek<T>(std::uint16_t) const noexcept; \
  template std::optional<std::vector<T>> Reader::peek_slice<T>(std::uint16_t) const;
MOK_FXR_INSTANTIATE_PEEK(std::int8_t)
MOK_FXR_INSTANTIATE_PEEK(std::uint8_t)
MOK_FXR_INSTANTIATE_PEEK(std::int16_t)
MOK_FXR_INSTANTIATE_PEEK(std::uint16_t)
MOK_FXR_INSTANTIATE_PEEK(std::int32_t)
MOK_FXR_INSTANTIATE_PEEK(std::uint32_t)
MOK_FXR_INSTANTIATE_PEEK(std::int64_t)
MOK_FXR_INSTANTIATE_PEEK(std::uint64_t)
MOK_FXR_INSTANTIATE_PEEK(float)
MOK_FXR_INSTANTIATE_PEEK(double)
#undef MOK_FXR_INSTANTIATE_PEEK

}  // namespace mok::fxr

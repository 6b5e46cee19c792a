// Display and debug texts of transport errors. Log lines and hosts match on
// the display texts, so they are kept exactly as they have always read.
#include "fxt/error.hpp"

#include <fmt/format.h>

namespace mok::fxt {

Error Error::bind_failed(std::string reason) {
  Error e(Code::BindFailed);
  e.text_ = std::move(reason);
  return e;
}
Error Error::buffer_too_large(uint32_t buffered, uint32_t limit) noexcept {
  return Error(Code::BufferTooLarge, buffered, limit);
}
Error Error::invalid_head() noexcept { return Error(Code::InvalidHead); }
Error Error::invalid_stream_id(uint16_t stream_id) noexcept { return Error(Code::InvalidStreamId, stream_id); }
Error Error::io(std::error_code ec) noexcept {
  Error e(Code::Io);
  e.ec_ = ec;
  return e;
}
Error Error::io_message(std::string text) {
  Error e(Code::Io);
  e.text_ = std::move(text);
  return e;
}
Error Error::length_too_small(uint32_t length, uint32_t minimum) noexcept {
  return Error(Code::LengthTooSmall, length, minimum);
}
Error Error::length_too_large(uint32_t length, uint32_t maximum) noexcept {
  return Error(Code::LengthTooLarge, length, maximum);
}
Error Error::not_enough_data(uint32_t offered, uint32_t needed) noexcept {
  return Error(Code::NotEnoughData, offered, needed);
}
Error Error::not_ready() noexcept { return Error(Code::NotReady); }
Error Error::unknown_kind(uint8_t code) noexcept { return Error(Code::UnknownKind, code); }

std::string_view to_string(Error::Code code) noexcept {
  switch (code) {
    case Error::Code::BindFailed:
      return "BindFailed";
    case Error::Code::BufferTooLarge:
      return "BufferTooLarge";
    case Error::Code::InvalidHead:
      return "InvalidHead";
    case Error::Code::InvalidStreamId:
      return "InvalidStreamId";
    case Error::Code::Io:
      return "Io";
    case Error::Code::LengthTooSmall:
      return "LengthTooSmall";
    case Error::Code::LengthTooLarge:
      return "LengthTooLarge";
    case Error::Code::NotEnoughData:
      return "NotEnoughData";
    case Error::Code::NotReady:
      return "NotReady";
    case Error::Code::UnknownKind:
      return "UnknownKind";
  }
  return "Unknown";
}

namespace {
std::string io_text(const std::string& text, std::error_code ec) { return ec ? ec.message() : text; }
}  // namespace

std::string Error::display() const {
  switch (code_) {
    case Code::BindFailed:
      return fmt::format("Failed to bind socket: {}", text_);
    case Code::BufferTooLarge:
      return fmt::format("Buffer Too Large({} > {})", a_, b_);
    case Code::InvalidHead:
      return "Invalid Head";
    case Code::InvalidStreamId:
      return fmt::format("Invalid Stream Id({})", a_);
    case Code::Io:
      return fmt::format("Io({})", io_text(text_, ec_));
    case Code::LengthTooSmall:
      return fmt::format("Length Too Small({} < {})", a_, b_);
    case Code::LengthTooLarge:
      return fmt::format("Length Too Large({} > {})", a_, b_);
    case Code::NotEnoughData:
      return fmt::format("Not Enough Data({} < {})", a_, b_);
    case Code::NotReady:
      return "Not Ready";
    case Code::UnknownKind:
      return fmt::format("Unknown Kind({})", a_);
  }
  return "Unknown";
}

std::string Error::debug() const {
  const std::string_view name = to_string(code_);
  switch (code_) {
    case Code::BufferTooLarge:
    case Code::LengthTooSmall:
    case Code::LengthTooLarge:
    case Code::NotEnoughData:
      return fmt::format("{}({}, {})", name, a_, b_);
    case Code::InvalidStreamId:
    case Code::UnknownKind:
      return fmt::format("{}({})", name, a_);
    case Code::BindFailed:
      return fmt::format("{}(\"{}\")", name, text_);
    case Code::Io:
      if (ec_) return fmt::format("Io(code {}: {})", ec_.value(), ec_.message());
      return fmt::format("Io(\"{}\")", text_);
    case Code::InvalidHead:
    case Code::NotReady:
      break;
  }
  return std::string(name);
}

}  // namespace mok::fxt

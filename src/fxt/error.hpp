// The transport's error values: what the head parser, the framer and the
// connector report. Each member has a fixed display text that log lines show.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>

namespace mok::fxt {

class Error {
 public:
  // Declaration order is part of the contract; never renumber.
  enum class Code : uint8_t {
    BindFailed = 0,
    BufferTooLarge = 1,
    InvalidHead = 2,
    InvalidStreamId = 3,
    Io = 4,
    LengthTooSmall = 5,
    LengthTooLarge = 6,
    NotEnoughData = 7,
    NotReady = 8,
    UnknownKind = 9,
  };

  static Error bind_failed(std::string reason);
  static Error buffer_too_large(uint32_t buffered, uint32_t limit) noexcept;
  static Error invalid_head() noexcept;
  static Error invalid_stream_id(uint16_t stream_id) noexcept;
  // An operating-system I/O error.
  static Error io(std::error_code ec) noexcept;
  // An I/O error of the generic kind with no system code, such as
  // "bytes remaining on stream".
  static Error io_message(std::string text);
  static Error length_too_small(uint32_t length, uint32_t minimum) noexcept;
  static Error length_too_large(uint32_t length, uint32_t maximum) noexcept;
  static Error not_enough_data(uint32_t offered, uint32_t needed) noexcept;
  static Error not_ready() noexcept;
  static Error unknown_kind(uint8_t code) noexcept;

  Code code() const noexcept { return code_; }
  // The numbers a member carries, in table order (0 where it has fewer).
  uint32_t first() const noexcept { return a_; }
  uint32_t second() const noexcept { return b_; }
  // BindFailed's reason, or the text of an Io error made by io_message().
  const std::string& text() const noexcept { return text_; }

  // "Length Too Large(67108865 > 67108864)", "Io(bytes remaining on stream)".
  std::string display() const;
  // "LengthTooLarge(67108865, 67108864)", "NotReady".
  std::string debug() const;

  friend bool operator==(const Error&, const Error&) = default;

 private:
  explicit Error(Code c, uint32_t a = 0, uint32_t b = 0) noexcept : code_(c), a_(a), b_(b) {}

  Code code_;
  uint32_t a_ = 0;
  uint32_t b_ = 0;
  std::string text_;
  std::error_code ec_;
};

std::string_view to_string(Error::Code code) noexcept;

}  // namespace mok::fxt

// The UTF-8 check and the text copy shared by the C families.
#include "ffi/text.hpp"

#include <cstring>

namespace mok::ffi {

bool valid_utf8(std::string_view s) noexcept {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;  // truncated sequence
    for (std::size_t k = 1; k <= n; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
    static constexpr uint32_t kMinForLen[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinForLen[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

TextCopy copy_text(std::string_view text, char* buffer, std::uint32_t* length) noexcept {
  const auto n = static_cast<std::uint32_t>(text.size());
  const std::uint32_t capacity = *length;
  *length = n + 1;
  if (buffer == nullptr) return TextCopy::SizeOnly;
  if (capacity <= n) return TextCopy::TooSmall;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return TextCopy::Copied;
}

}  // namespace mok::ffi

// Texts across the C boundary: the one UTF-8 check every text a host passes
// in goes through, and the one copy out into a host's buffer after a size
// query (the size includes the terminating NUL).
#pragma once

#include <cstdint>
#include <string_view>

namespace mok::ffi {

// True when `s` is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated sequence.
bool valid_utf8(std::string_view s) noexcept;

enum class TextCopy {
  Copied,    // text and NUL are in the buffer
  SizeOnly,  // no buffer: only the size was asked for
  TooSmall,  // the buffer cannot hold text and NUL; nothing was written
};

// Sets *length to text.size() + 1 and, when `buffer` is given and its
// capacity (*length on entry) suffices, copies the text and a NUL into it.
// `text` must be shorter than UINT32_MAX bytes and `length` not null.
TextCopy copy_text(std::string_view text, char* buffer, std::uint32_t* length) noexcept;

}  // namespace mok::ffi

// Text forms of Flags. Members are written in declaration order; kAll comes
// last and is never written because the single members have covered its bits.
#include "fxt/packet/flags.hpp"

#include <array>
#include <string_view>
#include <utility>

#include <fmt/format.h>

namespace mok::fxt {

namespace {
constexpr std::array<std::pair<uint8_t, std::string_view>, 6> kNamed{{
    {Flags::kEndStream, "END_STREAM"},
    {Flags::kEndHeaders, "END_HEADERS"},
    {Flags::kPadded, "PADDED"},
    {Flags::kPriority, "PRIORITY"},
    {Flags::kReadonly, "READONLY"},
    {Flags::kAll, "ALL"},
}};
}  // namespace

std::string to_string(Flags flags) {
  std::string out;
  uint8_t left = flags.bits;
  for (const auto& [bits, name] : kNamed) {
    if ((flags.bits & bits) == bits && (left & bits) != 0) {
      if (!out.empty()) out += " | ";
      out += name;
      left = static_cast<uint8_t>(left & ~bits);
    }
  }
  if (left != 0) {
    if (!out.empty()) out += " | ";
    out += fmt::format("0x{:x}", left);
  }
  return out;
}

std::string debug_string(Flags flags) {
  if (flags.bits == 0) return "Flags(0x0)";
  return "Flags(" + to_string(flags) + ")";
}

}  // namespace mok::fxt

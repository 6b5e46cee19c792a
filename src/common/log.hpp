// The log facade: records with a level, a target naming the module and a
// message. Modules log through here; where records go is decided by the sink
// (standard error for Warn and Error by default, or a host's callback).
#pragma once

#include <string_view>

#include <fmt/format.h>

namespace mok::log {

enum class Level : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// The text of a level as log lines show it ("ERROR", "WARN", ...).
std::string_view level_name(Level level) noexcept;

// True when a record of this level would reach the sink; cheap (one atomic load).
bool enabled(Level level) noexcept;

// Delivers one record. Never throws.
void write(Level level, std::string_view target, std::string_view message) noexcept;

// A host callback, as installed through the C extension.
using Callback = void (*)(int level, const char* target, const char* message, void* user);

// Installs a callback (null restores the default sink) and the maximum level.
// Returns after any delivery to the previous callback has finished.
void set_callback(Callback cb, Level max_level, void* user) noexcept;

// Whether a formatted record of this kind (target and format text, both
// literals) may go out now: Error, Warn and Info records of one kind pass at
// most 10 times a second, and the next one to pass after some were held back
// is preceded by a record saying how many. Debug and Trace, which a host
// turns on to see everything, always pass.
bool admit(Level level, std::string_view target, std::string_view format) noexcept;

// Formats and writes a record when its level is enabled and its kind has not
// been repeating too often.
template <class... Args>
void logf(Level level, std::string_view target, fmt::format_string<Args...> format, Args&&... args) noexcept {
  if (!enabled(level)) return;
  const fmt::string_view text = format;
  if (!admit(level, target, std::string_view(text.data(), text.size()))) return;
  try {
    write(level, target, fmt::format(format, std::forward<Args>(args)...));
  } catch (...) {
    // Formatting failed (allocation): the record is lost, never the caller.
  }
}

template <class... Args>
void error(std::string_view target, fmt::format_string<Args...> f, Args&&... a) noexcept {
  logf(Level::Error, target, f, std::forward<Args>(a)...);
}
template <class... Args>
void warn(std::string_view target, fmt::format_string<Args...> f, Args&&... a) noexcept {
  logf(Level::Warn, target, f, std::forward<Args>(a)...);
}
template <class... Args>
void info(std::string_view target, fmt::format_string<Args...> f, Args&&... a) noexcept {
  logf(Level::Info, target, f, std::forward<Args>(a)...);
}
template <class... Args>
void debug(std::string_view target, fmt::format_string<Args...> f, Args&&... a) noexcept {
  logf(Level::Debug, target, f, std::forward<Args>(a)...);
}
template <class... Args>
void trace(std::string_view target, fmt::format_string<Args...> f, Args&&... a) noexcept {
  logf(Level::Trace, target, f, std::forward<Args>(a)...);
}

}  // namespace mok::log

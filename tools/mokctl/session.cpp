// Connection set-up and error wording shared by the mokctl commands.
#include "session.hpp"

#include <chrono>
#include <cstdarg>
#include <cstdio>

namespace mokctl {
namespace {

const char* level_name(std::int32_t level) {
  switch (level) {
    case MOK_LOG_ERROR:
      return "error";
    case MOK_LOG_WARN:
      return "warn";
    case MOK_LOG_INFO:
      return "info";
    case MOK_LOG_DEBUG:
      return "debug";
    default:
      return "trace";
  }
}

mok::Client open_client(const std::string& address) {
  try {
    return mok::Client::connect(address);
  } catch (const mok::Error&) {
    throw Failure(kUsage, format("The camera address \"%s\" is not usable: give HOST, HOST:PORT, "
                                 "A.B.C.D:PORT or [IPv6]:PORT with a port up to 65535, and a host "
                                 "name that resolves.",
                                 address.c_str()));
  }
}

}  // namespace

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(out.data(), out.size() + 1, fmt, args);
  va_end(args);
  return out;
}

void enable_library_log(bool verbose) {
  mok::set_log_handler(
      [](std::int32_t level, const char* target, const char* message) {
        std::fprintf(stderr, "[%s %s] %s\n", level_name(level), target, message);
      },
      verbose ? MOK_LOG_DEBUG : MOK_LOG_WARN);
}

Session::Session(const std::string& address, const GlobalOptions& options)
    : address_(address), options_(options), client_(open_client(address)) {
  client_.on_state([this](mok::State s) {
    std::lock_guard<std::mutex> lock(mu_);
    // Keep the first verdict: the connector retries after a failure, and the
    // retry's Reconnecting must not hide why the first attempt failed.
    if (!last_ || *last_ == mok::State::Reconnecting || *last_ == mok::State::Connected) last_ = s;
    state_ = s;
    if (announcing_) announce(s);
    cv_.notify_all();
  });
  run("set the connection timings", [&] {
    client_.set_timing(mok::Millis(options_.reconnect_delay_ms), mok::Millis(options_.connect_timeout_ms),
                       mok::Millis(options_.inactivity_timeout_ms), mok::Millis(options_.write_timeout_ms));
  });
  run("start the connection", [&] { client_.start(); });

  std::unique_lock<std::mutex> lock(mu_);
  bool decided = cv_.wait_for(lock, std::chrono::duration<double>(options_.timeout_s),
                              [&] { return last_ && *last_ != mok::State::Reconnecting; });
  if (decided && *last_ == mok::State::Connected) {
    announcing_ = true;
    return;
  }
  std::string why;
  if (!decided) {
    why = format("no connection within %.1f s", options_.timeout_s);
  } else if (*last_ == mok::State::ConnectTimeout) {
    why = "the connection attempt timed out";
  } else if (*last_ == mok::State::ConnectFailed) {
    why = "the connection was refused or the host is unreachable";
  } else {
    why = format("the connection ended (%s)", mok::state_name(*last_));
  }
  throw Failure(kUnreachable, format("Cannot reach the camera at %s: %s. Check the address, the "
                                     "cable and that the camera is powered.",
                                     address_.c_str(), why.c_str()));
}

Session::~Session() { client_.clear_state_cb(); }

bool Session::connected() {
  std::lock_guard<std::mutex> lock(mu_);
  return state_ == mok::State::Connected;
}

std::string Session::loss_cause() {
  const mok_stats_t now = client_.stats();
  const std::pair<std::uint64_t mok_stats_t::*, const char*> causes[] = {
      {&mok_stats_t::disconnects_remote_close, "closed by the camera"},
      {&mok_stats_t::disconnects_inactivity, "the camera went silent"},
      {&mok_stats_t::disconnects_decode_error, "the camera sent invalid data"},
      {&mok_stats_t::disconnects_write_failure, "a write to the camera failed"},
      {&mok_stats_t::disconnects_stop, "stopped"}};
  std::string cause = "unknown cause";
  for (const auto& [field, name] : causes) {
    if (now.*field > seen_.*field) cause = name;
  }
  seen_ = now;
  if (auto text = client_.last_error()) cause += ": " + *text;
  return cause;
}

void Session::announce(mok::State s) {
  if (s == mok::State::Disconnected) {
    ++losses_;
    const double delay_s = (options_.reconnect_delay_ms ? options_.reconnect_delay_ms : 5000) / 1000.0;
    std::fprintf(stderr, "mokctl: connection to %s lost (%s); trying again every %.1f s\n", address_.c_str(),
                 loss_cause().c_str(), delay_s);
  } else if (s == mok::State::Connected) {
    std::fprintf(stderr, "mokctl: connection to %s is back\n", address_.c_str());
  }
  std::fflush(stderr);
}

void Session::require_connection(const char* what) {
  std::string last;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (state_ == mok::State::Connected) return;
  }
  if (auto text = client_.last_error()) last = " (last failure: " + *text + ")";
  throw Failure(kUnreachable, format("The connection to %s was lost while %s and was not back when the run "
                                     "ended%s.",
                                     address_.c_str(), what, last.c_str()));
}

mok::Millis Session::timeout() const {
  return mok::Millis(static_cast<std::int64_t>(options_.timeout_s * 1000.0));
}

void Session::wait_params() {
  try {
    client_.wait_params(timeout());
  } catch (const mok::Error&) {
    throw Failure(kTimeout, format("The camera at %s is connected but sent no parameters within "
                                   "%.1f s.",
                                   address_.c_str(), options_.timeout_s));
  }
}

Failure Session::failure(const char* what, const mok::Error& e) const {
  switch (e.status()) {
    case mok::Status::SendFailed:
      return Failure(kUnreachable, format("Could not %s: the connection to %s is down.", what, address_.c_str()));
    case mok::Status::Timeout:
      return Failure(kTimeout, format("Could not %s: the camera at %s did not answer within %.1f s.", what,
                                      address_.c_str(), options_.timeout_s));
    default:
      return Failure(kFailed, format("Could not %s: %s.", what, mok::status_text(e.code())));
  }
}

}  // namespace mokctl

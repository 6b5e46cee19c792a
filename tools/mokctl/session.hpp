// What every mokctl command shares: the global options, the -v log routing,
// and a Session that connects to a camera and turns the library's state codes
// and time-outs into Failures a person can act on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <mok/mok.hpp>

#include "exit_codes.hpp"

namespace mokctl {

// Shown with every command.
struct GlobalOptions {
  bool verbose = false;
  double timeout_s = 5.0;  // connection and answer waits
  // The connection's timings in milliseconds; 0 keeps the library's default.
  std::uint32_t reconnect_delay_ms = 0;
  std::uint32_t connect_timeout_ms = 0;
  std::uint32_t inactivity_timeout_ms = 0;
  std::uint32_t write_timeout_ms = 0;
};

// The library's records go to standard error: up to Debug with -v, otherwise
// only warnings and errors (what explains a connection that keeps failing).
void enable_library_log(bool verbose);

// printf into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// One camera connection for the length of a command.
class Session {
 public:
  // Connects to `address`, starts, and waits until the TCP connection is up;
  // throws Failure when the address is refused or the camera is unreachable.
  Session(const std::string& address, const GlobalOptions& options);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Waits for the camera's first parameter report.
  void wait_params();
  mok::Client& client() { return client_; }
  const std::string& address() const { return address_; }
  const GlobalOptions& options() const { return options_; }
  mok::Millis timeout() const;

  // Runs `op` and turns a mok::Error into a Failure naming `what`. The
  // library reports the connection (and may deliver the first parameter
  // report) an instant before it accepts packets, so a refused send while
  // the connection is up is tried again for a short while.
  template <class F>
  auto run(const char* what, F&& op) -> decltype(op()) {
    for (int attempt = 0;; ++attempt) {
      try {
        return op();
      } catch (const mok::Error& e) {
        if (e.status() != mok::Status::SendFailed || attempt >= 20 || !connected()) throw failure(what, e);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  bool connected();
  Failure failure(const char* what, const mok::Error& e) const;
  // Throws Failure(kUnreachable) when the connection is down at the end of a
  // run that lost it; `what` names what the run did ("receiving profiles").
  void require_connection(const char* what);

 private:
  // One line on standard error for each loss (with its cause and the last
  // failure's text) and each return of the connection. Runs in the state
  // callback, with mu_ held.
  void announce(mok::State s);
  std::string loss_cause();

  std::string address_;
  GlobalOptions options_;
  // Declared before the client: its state callback uses them until it is cleared.
  std::mutex mu_;
  std::condition_variable cv_;
  std::optional<mok::State> last_;   // the first attempt's verdict
  std::optional<mok::State> state_;  // the latest state
  bool announcing_ = false;          // set once the first connection is up
  std::uint64_t losses_ = 0;
  mok_stats_t seen_{};  // counters at the previous loss
  mok::Client client_;
};

}  // namespace mokctl

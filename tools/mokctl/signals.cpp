// The handlers only set a flag: waits poll it between packets.
#include "signals.hpp"

#include <atomic>
#include <csignal>

namespace mokctl {
namespace {

std::atomic<bool> g_interrupted{false};

}  // namespace

void catch_interrupt() {
  std::signal(SIGINT, [](int) { g_interrupted = true; });
  std::signal(SIGTERM, [](int) { g_interrupted = true; });
  // A reader that goes away shows as a failed write, which ends the run.
  std::signal(SIGPIPE, SIG_IGN);
}

bool interrupted() { return g_interrupted.load(); }

}  // namespace mokctl

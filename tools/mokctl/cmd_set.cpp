// mokctl set: writes settings and waits until the camera's reports show
// every new value, so success means the camera took them.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "commands.hpp"

namespace mokctl {
namespace {

// An RTS write: the camera's clock then runs on from `value`, so a report
// received `elapsed` later confirms it when it lies within [value, value +
// elapsed].
struct RtsWrite {
  std::uint64_t value;
  std::chrono::steady_clock::time_point at;

  bool confirmed_by(const std::optional<std::uint64_t>& reported) const {
    if (!reported || *reported < value) return false;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - at);
    return *reported - value <= static_cast<std::uint64_t>(elapsed.count());
  }
};

std::uint64_t wall_clock_us() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count());
}

std::string join(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += i + 1 == names.size() ? " and " : ", ";
    out += names[i];
  }
  return out;
}

}  // namespace

void add_set(CLI::App& app, const GlobalOptions& g, Runner& run) {
  struct Args {
    std::string address;
    std::optional<std::uint32_t> exposure, strength, task;
    std::optional<bool> laser;
    std::string laser_text, rts_text;
  };
  auto a = std::make_shared<Args>();
  auto* cmd =
      app.add_subcommand("set", "Change camera settings and wait until the camera reports the new values.");
  cmd->add_option("ADDR", a->address, "Camera address")->required();
  cmd->add_option("--exposure", a->exposure,
                  "Exposure time in the camera's unit (0 to 4294967295; the protocol fixes no unit)");
  cmd->add_option("--laser", a->laser_text, "Switch the laser on or off")->check(CLI::IsMember({"on", "off"}));
  cmd->add_option("--strength", a->strength, "Laser strength in the camera's unit (0 to 4294967295)");
  cmd->add_option("--task", a->task, "Task id (0 to 4294967295)");
  cmd->add_option("--rts", a->rts_text,
                  "Set RTS, the camera's microsecond clock: \"now\" (this host's clock, microseconds since 1970) "
                  "or a number of microseconds, 1 to 18446744073709551615");
  cmd->callback([&g, &run, a] {
    if (!a->laser_text.empty()) a->laser = a->laser_text == "on";
    std::optional<std::uint64_t> rts;
    if (!a->rts_text.empty()) {
      if (a->rts_text == "now") {
        rts = 0;
      } else {
        try {
          std::size_t used = 0;
          rts = std::stoull(a->rts_text, &used);
          if (used != a->rts_text.size() || *rts == 0) throw std::invalid_argument("rts");
        } catch (const std::exception&) {
          throw CLI::ValidationError("--rts", "expects \"now\" or a positive number");
        }
      }
    }
    if (!a->exposure && !a->strength && !a->task && !a->laser && !rts) {
      throw CLI::ValidationError("set", "give at least one of --exposure, --laser, --strength, --task, --rts");
    }
    run = [&g, a, rts] {
      Session s(a->address, g);
      s.wait_params();
      mok::Client& c = s.client();
      if (a->exposure) s.run("set the exposure time", [&] { c.set_exposure_time(*a->exposure); });
      if (a->laser) s.run("switch the laser", [&] { c.set_laser_enable(*a->laser); });
      if (a->strength) s.run("set the laser strength", [&] { c.set_laser_strength(*a->strength); });
      if (a->task) s.run("set the task id", [&] { c.set_task_id(*a->task); });
      std::optional<RtsWrite> rts_write;
      if (rts) {
        // "now" is read here rather than by the library, so the value the
        // camera must report back is known.
        rts_write = RtsWrite{*rts == 0 ? wall_clock_us() : *rts, std::chrono::steady_clock::now()};
        s.run("set RTS", [&] { c.set_rts(rts_write->value); });
      }
      // Until the writes have left, closing would drop them.
      s.run("send the new settings", [&] { c.flush(s.timeout()); });
      // The getters answer from the camera's reports; each RTS pull asks for
      // a report that comes after the writes, so what it shows is the
      // camera's answer to them.
      auto unconfirmed = [&] {
        std::vector<std::string> left;
        if (a->exposure && c.exposure_time() != a->exposure) left.push_back("exposure time");
        if (a->laser && c.laser_enable() != a->laser) left.push_back("laser");
        if (a->strength && c.laser_strength() != a->strength) left.push_back("laser strength");
        if (a->task && c.task_id() != a->task) left.push_back("task id");
        if (rts_write && !rts_write->confirmed_by(c.rts())) left.push_back("RTS");
        return left;
      };
      const auto until = std::chrono::steady_clock::now() + s.timeout();
      std::vector<std::string> left = {"(no report yet)"};
      while (!left.empty() && std::chrono::steady_clock::now() < until) {
        try {
          c.pull_rts(std::min<mok::Millis>(s.timeout(), mok::Millis(500)));
          left = unconfirmed();
        } catch (const mok::Error&) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));  // no report or not connected
        }
      }
      if (!left.empty()) {
        std::printf("now reported:\n");
        print_device(c);
        throw Failure(kTimeout, format("The camera at %s did not confirm the new %s within %.1f s.",
                                       a->address.c_str(), join(left).c_str(), g.timeout_s));
      }
      std::printf("camera %s confirmed the new settings:\n", a->address.c_str());
      print_device(c);
    };
  });
}

}  // namespace mokctl

// mokctl info: a camera's identity and settings as it reports them; the
// listing is shared with set, which shows what the camera confirmed.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "commands.hpp"

namespace mokctl {
namespace {

template <class T>
std::string show(const std::optional<T>& v) {
  if (!v) return "(not reported)";
  if constexpr (std::is_same_v<T, bool>) {
    return *v ? "on" : "off";
  } else if constexpr (std::is_same_v<T, std::string>) {
    return *v;
  } else {
    return std::to_string(*v);
  }
}

template <class F>
auto read_or_reason(F&& get) -> decltype(get()) {
  try {
    return get();
  } catch (const mok::Error&) {
    return std::nullopt;  // a text with a zero byte: shown as not reported
  }
}

}  // namespace

void print_device(mok::Client& c) {
  std::printf("  board id       %s\n", show(read_or_reason([&] { return c.board_id(); })).c_str());
  std::printf("  serial number  %s\n", show(read_or_reason([&] { return c.serial_number(); })).c_str());
  std::printf("  CTS            %s\n", show(c.cts()).c_str());
  std::printf("  RTS            %s\n", show(c.rts()).c_str());
  std::printf("  exposure time  %s\n", show(c.exposure_time()).c_str());
  std::printf("  laser          %s\n", show(c.laser_enable()).c_str());
  std::printf("  laser strength %s\n", show(c.laser_strength()).c_str());
  std::printf("  task id        %s\n", show(c.task_id()).c_str());
}

void add_info(CLI::App& app, const GlobalOptions& g, Runner& run) {
  auto* cmd = app.add_subcommand("info", "Show a camera's identity and settings.");
  auto address = std::make_shared<std::string>();
  cmd->add_option("ADDR", *address, "Camera address: HOST, HOST:PORT or [IPv6]:PORT (port 6833 by default)")
      ->required();
  cmd->callback([&g, &run, address] {
    run = [&g, address] {
      Session s(*address, g);
      s.wait_params();
      std::printf("camera %s (library %s)\n", address->c_str(), mok::version());
      print_device(s.client());
    };
  });
}

}  // namespace mokctl

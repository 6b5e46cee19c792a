// mokctl record: every packet the camera sends, with its arrival time, into
// a recording for mok-camsim --replay, mokctl convert and bug reports.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "commands.hpp"
#include "packet_recorder.hpp"
#include "signals.hpp"

namespace mokctl {

void add_record(CLI::App& app, const GlobalOptions& g, Runner& run) {
  struct Args {
    std::string address, out;
    double seconds = 0;
    std::uint64_t count = 0;
  };
  auto a = std::make_shared<Args>();
  auto* cmd = app.add_subcommand(
      "record",
      "Record every packet the camera sends, with its arrival time, for replay (mok-camsim --replay) "
      "and bug reports. Runs until Ctrl-C unless --seconds or --count is given.");
  cmd->add_option("ADDR", a->address, "Camera address")->required();
  cmd->add_option("-o,--output", a->out, "Recording file to write")->required();
  cmd->add_option("--seconds", a->seconds, "Stop after this long, seconds (> 0)")->check(CLI::PositiveNumber);
  cmd->add_option("--count", a->count, "Stop after this many packets (>= 1)")->check(CLI::PositiveNumber);
  cmd->callback([&g, &run, a] {
    run = [&g, a] {
      catch_interrupt();
      PacketRecorder rec(a->address, a->out, g);
      std::printf("recording %s to %s%s\n", a->address.c_str(), a->out.c_str(),
                  a->seconds > 0 || a->count ? "" : " (Ctrl-C ends)");
      std::fflush(stdout);
      bool kept = rec.wait(a->count, a->seconds);
      rec.finish();
      std::printf("recorded %llu packets (%llu bytes) to %s\n", static_cast<unsigned long long>(rec.packets()),
                  static_cast<unsigned long long>(rec.bytes()), a->out.c_str());
      if (!kept) {
        throw Failure(kUnreachable, format("The connection to %s dropped; the recording holds the packets "
                                           "received until then.",
                                           a->address.c_str()));
      }
    };
  });
}

}  // namespace mokctl

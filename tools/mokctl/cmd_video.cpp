// mokctl video: decodes the camera's live video and saves frames as PNG
// files, optionally recording the raw packets beside.
#include <cstdio>
#include <memory>
#include <string>

#include "commands.hpp"
#include "packet_recorder.hpp"
#include "signals.hpp"
#include "video.hpp"

namespace mokctl {

void add_video(CLI::App& app, const GlobalOptions& g, Runner& run) {
  struct Args {
    std::string address, dir = ".", record;
    int frames = 10;
  };
  auto a = std::make_shared<Args>();
  auto* cmd = app.add_subcommand("video", "Decode the camera's live video and save frames as PNG files.");
  cmd->add_option("ADDR", a->address, "Camera address")->required();
  cmd->add_option("--frames", a->frames, "Number of frames to save (1 to 100000; default 10)")
      ->check(CLI::Range(1, 100000));
  cmd->add_option("-o,--output", a->dir, "Directory for frame0000.png ... (created if missing)");
  cmd->add_option("--record", a->record, "Also record the raw packets (video included) to this file");
  cmd->callback([&g, &run, a] {
    run = [&g, a] {
      if (!video_built_in()) throw Failure(kNoDecoder, "This mokctl was built without video support.");
      // Ctrl-C or SIGTERM ends the capture between packets, so the recording
      // is closed with no packet cut in half.
      catch_interrupt();
      Session s(a->address, g);
      std::unique_ptr<PacketRecorder> rec;
      if (!a->record.empty()) rec = std::make_unique<PacketRecorder>(a->address, a->record, g);
      auto files = capture_video(s, a->frames, a->dir, "frame");
      std::printf("saved %zu frames: %s ... %s\n", files.size(), files.front().c_str(), files.back().c_str());
      if (rec) {
        rec->finish();
        std::printf("recorded %llu packets (%llu bytes) to %s\n", static_cast<unsigned long long>(rec->packets()),
                    static_cast<unsigned long long>(rec->bytes()), a->record.c_str());
      }
      if (files.size() < static_cast<std::size_t>(a->frames) && !interrupted()) {
        s.require_connection("receiving video");
        throw Failure(kTimeout, format("Only %zu of %d frames arrived.", files.size(), a->frames));
      }
    };
  });
}

}  // namespace mokctl

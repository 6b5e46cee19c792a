// mokctl view: serves a live page of a camera until Ctrl-C. Owner of the
// session, the camera link and the server; they end in the reverse order.
#include <chrono>
#include <cstdio>
#include <thread>

#include "../commands.hpp"
#include "../signals.hpp"
#include "view_server.hpp"

namespace mokctl {

void add_view(CLI::App& app, const GlobalOptions& g, Runner& run) {
  struct Args {
    std::string address, record_dir = ".";
    view::ViewOptions view;
    double history_s = 10;
    std::size_t history_mpoints = 4;
  };
  auto a = std::make_shared<Args>();
  auto* cmd = app.add_subcommand(
      "view",
      "Serve a live page of the camera for a browser: the profile (y and z in the camera's unit; the "
      "simulator's mm) with the seam, the "
      "connection's figures, the parameters with controls, snapshots, video, recording and profile downloads. "
      "Runs until Ctrl-C.");
  cmd->add_option("ADDR", a->address, "Camera address: HOST, HOST:PORT or [IPv6]:PORT")->required();
  cmd->add_option("--port", a->view.port, "Port of the page, 0..65535 (default 0: a free one, printed)")
      ->check(CLI::Range(0, 65535));
  cmd->add_option("--listen", a->view.listen,
                  "Address to listen on (default 127.0.0.1). Beyond loopback every action needs the token "
                  "printed at start");
  cmd->add_flag("--read-only", a->view.read_only, "Show the camera only: refuse every action");
  cmd->add_option("--token", a->view.token,
                  "Require this token for every action, also on loopback (default: a random one, and only "
                  "beyond loopback)");
  cmd->add_option("--record-dir", a->record_dir, "Directory for recordings started from the page (default .)");
  cmd->add_option("--history", a->history_s, "Seconds of profiles kept for download, 1..600 (default 10)")
      ->check(CLI::Range(1.0, 600.0));
  cmd->add_option("--history-points", a->history_mpoints,
                  "Millions of profile points kept at most, 1..100 (default 4, about 8 bytes each); at high "
                  "rates this bounds the history before --history does")
      ->check(CLI::Range(1, 100));
  cmd->add_option("--max-pages", a->view.max_clients, "Live pages open at once, 1..64 (default 8)")
      ->check(CLI::Range(1, 64));
  cmd->add_option("--client-timeout", a->view.client_timeout_s,
                  "Seconds a browser has to send a request, or to take a response or a live update, before it "
                  "is cut off, 0.1..60 (default 5)")
      ->check(CLI::Range(0.1, 60.0));
  cmd->add_option("--update-rate", a->view.publish_hz,
                  "Live updates a second sent to each page, 30..120 (default 40)")
      ->check(CLI::Range(30.0, 120.0));
  cmd->callback([&g, &run, a] {
    run = [&g, a] {
      catch_interrupt();
      Session s(a->address, g);
      view::HistoryLimits limits;
      limits.seconds = a->history_s;
      limits.points = a->history_mpoints * 1'000'000;
      view::CameraLink link(s, g, limits, a->record_dir);
      view::ViewServer server(link, a->view);
      std::printf("mokctl view: camera %s at %s\n", a->address.c_str(), server.url().c_str());
      if (server.token_required()) std::printf("actions need the token in this address\n");
      std::printf("Ctrl-C ends\n");
      std::fflush(stdout);
      while (!interrupted()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    };
  });
}

}  // namespace mokctl

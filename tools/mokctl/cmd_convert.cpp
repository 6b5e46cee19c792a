// mokctl convert: a recording (mokctl record) into the point files of
// scan --points and --ply. The recorded bytes are played, as fast as the
// client reads them, to a client of the library over a loopback connection,
// so the results are decoded exactly as from a live camera.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "commands.hpp"
#include "point_files.hpp"
#include "scan_stream.hpp"
#include "sim/recording.hpp"

namespace mokctl {
namespace {

struct ConvertArgs {
  std::string in, out;
  ScanAxis axis;
  double speed = 0;
};

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// A listener on 127.0.0.1 that sends `wire` to its first client and closes.
class Player {
 public:
  explicit Player(const std::vector<std::uint8_t>& wire) : wire_(wire) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 1) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      throw Failure(kFailed, "Cannot open a loopback port to play the recording.");
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { play(); });
  }
  ~Player() {
    ::shutdown(fd_, SHUT_RDWR);  // ends an accept still waiting
    thread_.join();
    ::close(fd_);
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  void play() {
    const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return;
    std::size_t at = 0;
    while (at < wire_.size()) {
      const ssize_t n = ::send(c, wire_.data() + at, wire_.size() - at, MSG_NOSIGNAL);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    ::close(c);  // the client reads to the end, then sees the close
  }

  const std::vector<std::uint8_t>& wire_;
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

void run_convert(const GlobalOptions& g, const ConvertArgs& a) {
  const bool ply = ends_with(a.out, ".ply");
  if (!ply && !ends_with(a.out, ".csv")) {
    throw Failure(kUsage,
                  format("Cannot tell what to write from %s: name it FILE.csv or FILE.ply.", a.out.c_str()));
  }
  ScanAxis axis = a.axis;
  if (a.speed > 0) axis.speed_mm_s = a.speed;
  PointWriter points(ply ? "" : a.out, ply ? a.out : "", axis);
  auto recording = camsim::read_recording_file(a.in);
  if (!recording) {
    throw Failure(kUsage, format("Cannot read the recording %s: %s.", a.in.c_str(), recording.error().c_str()));
  }
  // A recording cut off by a crash keeps its whole packets.
  if (recording->truncated) {
    std::fprintf(stderr, "mokctl: %s: the recording ends in the middle of a packet, which is left out\n",
                 a.in.c_str());
  }
  std::vector<std::uint8_t> wire;
  for (const auto& p : recording->packets) {
    wire.insert(wire.end(), p.head.begin(), p.head.end());
    wire.insert(wire.end(), p.payload.begin(), p.payload.end());
  }

  Player player(wire);
  mok::Client client = mok::Client::connect(player.address());
  ScanRecorder rec;
  rec.keep_results();
  rec.attach(client);
  std::mutex mu;
  std::condition_variable cv;
  bool ended = false;
  client.on_state([&](mok::State s) {
    std::lock_guard<std::mutex> lock(mu);
    if (s != mok::State::Connected && s != mok::State::Reconnecting) ended = true;
    cv.notify_all();
  });
  client.start();
  std::size_t results = 0;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(g.timeout_s) +
                     std::chrono::seconds(wire.size() / (16u << 20));  // generous for large files
  for (bool done = false; !done;) {
    {
      std::unique_lock<std::mutex> lock(mu);
      done = cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return ended; }) ||
             std::chrono::steady_clock::now() >= limit;
    }
    for (auto& [index, result] : rec.take_results()) {
      points.add(index, result);
      ++results;
    }
  }
  client.clear_state_cb();
  rec.detach(client);
  for (auto& [index, result] : rec.take_results()) {
    points.add(index, result);
    ++results;
  }
  points.close();
  if (ply) {
    std::printf("wrote %s: %zu profiles, %llu points\n", a.out.c_str(), results,
                static_cast<unsigned long long>(points.cloud_points()));
  } else {
    std::printf("wrote %s: %zu profiles\n", a.out.c_str(), results);
  }
  if (results == 0) throw Failure(kFailed, format("The recording %s holds no scan results.", a.in.c_str()));
}

}  // namespace

void add_convert(CLI::App& app, const GlobalOptions& g, Runner& run) {
  auto a = std::make_shared<ConvertArgs>();
  auto* cmd = app.add_subcommand(
      "convert",
      "Turn a recording (mokctl record) into the point files of scan: FILE.csv as --points writes, "
      "FILE.ply as --ply writes.");
  cmd->add_option("REC", a->in, "Recording to read")->required()->check(CLI::ExistingFile);
  cmd->add_option("-o,--output", a->out,
                  "File to write: FILE.csv (result index, device time in microseconds, point index, y, z in the "
                  "camera unit) or FILE.ply (x from --pitch or --speed, y, z; simulator: mm)")
      ->required();
  auto* pitch =
      cmd->add_option("--pitch", a->axis.pitch_mm, "Scan advance per profile for .ply, mm (default 1; > 0)")
          ->check(CLI::PositiveNumber);
  cmd->add_option("--speed", a->speed, "Scan speed for .ply instead of --pitch, mm/s (> 0)")
      ->check(CLI::PositiveNumber)
      ->excludes(pitch);
  cmd->callback([&g, &run, a] { run = [&g, a] { run_convert(g, *a); }; });
}

}  // namespace mokctl

// Playing a recording to a library client (see recording_player.hpp).
#include "recording_player.hpp"

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

#include "scan_stream.hpp"

namespace mokctl {
namespace {

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

}  // namespace

camsim::Recording load_recording(const std::string& path) {
  auto recording = camsim::read_recording_file(path);
  if (!recording) {
    throw Failure(kUsage, format("Cannot read the recording %s: %s.", path.c_str(), recording.error().c_str()));
  }
  // A recording cut off by a crash keeps its whole packets.
  if (recording->truncated) {
    std::fprintf(stderr, "mokctl: %s: the recording ends in the middle of a packet, which is left out\n",
                 path.c_str());
  }
  return std::move(*recording);
}

std::size_t play_recording(const GlobalOptions& g, const camsim::Recording& recording,
                           const std::function<void(std::uint64_t, mok::ScanResult)>& on_result) {
  std::vector<std::uint8_t> wire;
  for (const auto& p : recording.packets) {
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
  const auto hand_over = [&] {
    for (auto& [index, result] : rec.take_results()) {
      on_result(index, std::move(result));
      ++results;
    }
  };
  const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(g.timeout_s) +
                     std::chrono::seconds(wire.size() / (16u << 20));  // generous for large files
  for (bool done = false; !done;) {
    {
      std::unique_lock<std::mutex> lock(mu);
      done = cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return ended; }) ||
             std::chrono::steady_clock::now() >= limit;
    }
    hand_over();
  }
  client.clear_state_cb();
  rec.detach(client);
  hand_over();
  return results;
}

}  // namespace mokctl

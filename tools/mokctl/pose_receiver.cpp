// The pose stream's receiver (see pose_receiver.hpp).
#include "pose_receiver.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "output_files.hpp"
#include "session.hpp"

namespace mokctl {

File open_output(const std::string& path) {
  if (path.empty()) return nullptr;
  check_writable(path);
  File f(std::fopen(path.c_str(), "wb"));
  if (!f) throw Failure(kUsage, format("Cannot write %s: %s.", path.c_str(), std::strerror(errno)));
  return f;
}

sockaddr_in parse_pose_source(const std::string& s) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  const auto fail = [&] {
    return Failure(kUsage, format("--poses wants udp:PORT or udp:HOST:PORT, not \"%s\".", s.c_str()));
  };
  if (s.rfind("udp:", 0) != 0) throw fail();
  std::string rest = s.substr(4);
  if (const auto colon = rest.rfind(':'); colon != std::string::npos) {
    if (::inet_pton(AF_INET, rest.substr(0, colon).c_str(), &a.sin_addr) != 1) throw fail();
    rest = rest.substr(colon + 1);
  }
  char* end = nullptr;
  const unsigned long port = std::strtoul(rest.c_str(), &end, 10);
  if (rest.empty() || *end != '\0' || port > 65535) throw fail();
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  return a;
}

PoseReceiver::PoseReceiver(const sockaddr_in& at, File log, Handler handler)
    : log_(std::move(log)), handler_(std::move(handler)) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
    const int e = errno;
    if (fd_ >= 0) ::close(fd_);
    throw Failure(kUsage,
                  format("Cannot listen for poses on UDP port %u: %s.", ntohs(at.sin_port), std::strerror(e)));
  }
  if (log_) std::fputs("t_host_ns,seq,t_robot_us,x_mm,y_mm,z_mm,qw,qx,qy,qz,flags\n", log_.get());
  thread_ = std::thread([this] { run(); });
}

PoseReceiver::~PoseReceiver() {
  stop_ = true;
  thread_.join();
  ::close(fd_);
}

void PoseReceiver::run() {
  std::uint8_t buf[512];
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0) continue;
    const std::int64_t rx = mok_track_now_ns();
    mok_pose_datagram_t d{};
    if (!handler_(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)), rx, d)) continue;
    ++received_;
    last_rx_ns_ = rx;
    if (log_) {
      const mok_pose_t& x = d.X_base_tool;
      std::fprintf(log_.get(), "%lld,%u,%lld,%.6f,%.6f,%.6f,%.9f,%.9f,%.9f,%.9f,%u\n", static_cast<long long>(rx),
                   d.seq, static_cast<long long>(d.t_robot_us), x.x_mm, x.y_mm, x.z_mm, x.qw, x.qx, x.qy, x.qz,
                   d.flags);
    }
  }
}

}  // namespace mokctl

// The pose stream's receiver (see pose_receiver.hpp).
#include "pose_receiver.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

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

std::vector<LoggedPose> read_pose_log(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) throw Failure(kUsage, format("Cannot read the pose log %s.", path.c_str()));
  static constexpr const char* kNames[] = {"t_host_ns", "seq", "t_robot_us", "x_mm", "y_mm",  "z_mm",
                                           "qw",        "qx",  "qy",         "qz",   "flags", "t_unix_us"};
  constexpr std::size_t kColumns = std::size(kNames), kRequired = kColumns - 1;
  std::size_t at[kColumns];
  std::fill(std::begin(at), std::end(at), SIZE_MAX);
  {
    std::istringstream header(line);
    std::string name;
    for (std::size_t i = 0; std::getline(header, name, ','); ++i)
      for (std::size_t k = 0; k < kColumns; ++k)
        if (name == kNames[k]) at[k] = i;
  }
  for (std::size_t k = 0; k < kRequired; ++k)
    if (at[k] == SIZE_MAX)
      throw Failure(kUsage, format("The pose log %s has no %s column.", path.c_str(), kNames[k]));
  std::vector<LoggedPose> out;
  std::vector<std::string> cells;
  for (std::size_t row = 2; std::getline(in, line); ++row) {
    if (line.empty()) continue;
    cells.clear();
    std::istringstream split(line);
    for (std::string cell; std::getline(split, cell, ',');) cells.push_back(cell);
    bool ok = true;
    const auto number = [&](std::size_t k, auto parse) {
      const char* c = at[k] < cells.size() ? cells[at[k]].c_str() : "";
      char* end = nullptr;
      const auto v = parse(c, &end);
      ok = ok && end != c && *end == '\0';
      return v;
    };
    const auto real = [&](std::size_t k) {
      return number(k, [](const char* c, char** e) { return std::strtod(c, e); });
    };
    const auto whole = [&](std::size_t k) {
      return number(k, [](const char* c, char** e) { return static_cast<std::int64_t>(std::strtoll(c, e, 10)); });
    };
    LoggedPose p;
    p.t_host_ns = whole(0);
    p.d.seq = static_cast<std::uint32_t>(whole(1));
    p.d.t_robot_us = whole(2);
    p.d.X_base_tool = {real(3), real(4), real(5), real(6), real(7), real(8), real(9)};
    p.d.flags = static_cast<std::uint32_t>(whole(10));
    if (at[11] != SIZE_MAX) p.t_unix_us = whole(11);
    if (!ok) throw Failure(kUsage, format("The pose log %s: row %zu does not read.", path.c_str(), row));
    out.push_back(p);
  }
  return out;
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
  if (log_) std::fputs("t_host_ns,seq,t_robot_us,x_mm,y_mm,z_mm,qw,qx,qy,qz,flags,t_unix_us\n", log_.get());
  // Read once: the wall clock may be stepped while the log is written.
  using namespace std::chrono;
  unix_minus_steady_us_ =
      duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() - mok_track_now_ns() / 1000;
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
      std::fprintf(log_.get(), "%lld,%u,%lld,%.6f,%.6f,%.6f,%.9f,%.9f,%.9f,%.9f,%u,%lld\n",
                   static_cast<long long>(rx), d.seq, static_cast<long long>(d.t_robot_us), x.x_mm, x.y_mm, x.z_mm,
                   x.qw, x.qx, x.qy, x.qz, d.flags, static_cast<long long>(unix_minus_steady_us_ + rx / 1000));
    }
  }
}

}  // namespace mokctl

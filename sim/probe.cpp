// mok-camsim-probe: a minimal receiver for measuring and soaking the
// simulator. Connects, counts scan results and bytes, checks that the scan
// sequence numbers arrive exactly once and in order, and prints the figures.
#include <chrono>
#include <cstdio>

#include <CLI/CLI.hpp>
#include <asio.hpp>

#include "common/bytes.hpp"
#include "common/wire.hpp"
#include "fxt/packet/framer.hpp"

int main(int argc, char** argv) {
  CLI::App app{"mok-camsim-probe: receive from a camera (or mok-camsim) and report rates and sequence gaps"};
  std::string host = "127.0.0.1";
  std::uint16_t port = 6833;
  double seconds = 5;
  app.add_option("--host", host, "Camera address")->capture_default_str();
  app.add_option("--port,-p", port, "Camera port")->capture_default_str();
  app.add_option("--seconds", seconds, "How long to receive")->capture_default_str();
  CLI11_PARSE(app, argc, argv);

  try {
    asio::io_context io;
    asio::ip::tcp::socket sock(io);
    sock.connect({asio::ip::make_address(host), port});
    mok::BytesMut buf(1 << 20);
    mok::fxt::Framer framer;
    std::uint64_t scans = 0, others = 0, bytes = 0, gaps = 0, last_seq = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto until = start + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
      buf.reserve(1 << 16);
      auto spare = buf.spare();
      const std::size_t n = sock.read_some(asio::buffer(spare.data(), spare.size()));
      buf.commit(n);
      bytes += n;
      for (;;) {
        auto r = framer.decode(buf);
        if (!r) {
          std::fprintf(stderr, "stream error: %s\n", r.error().display().c_str());
          return 1;
        }
        if (!*r) break;
        const mok::fxt::Packet& p = **r;
        if (p.head.stream_id == mok::wire::stream::kScan) {
          if (last_seq != 0 && p.head.seq != last_seq + 1) ++gaps;
          last_seq = p.head.seq;
          ++scans;
        } else {
          ++others;
        }
      }
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.2f s: %llu scan results (%.0f/s), %llu other packets, %.1f MB/s, %llu sequence gaps\n", s,
                static_cast<unsigned long long>(scans), scans / s, static_cast<unsigned long long>(others),
                bytes / s / 1e6, static_cast<unsigned long long>(gaps));
    return gaps == 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mok-camsim-probe: %s\n", e.what());
    return 1;
  }
}

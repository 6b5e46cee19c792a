// mokctl and the example hosts run as a user would run them, against
// mok-camsim on a free loopback port: what they print, what they write and
// how they exit.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <netinet/in.h>
#include <png.h>
#include <sys/socket.h>
#include <unistd.h>

#include "process.hpp"
#include "sim/recording.hpp"

namespace {

using tooltest::Outcome;
using tooltest::Simulator;
using tooltest::TempDir;

Outcome mokctl(std::vector<std::string> args, double limit_s = 60, const std::string& cwd = "") {
  args.insert(args.begin(), MOKCTL_PATH);
  return tooltest::run(args, limit_s, cwd);
}

std::string describe(const Outcome& o) {
  return "exit " + std::to_string(o.exit_code) + (o.timed_out ? " (killed after the limit)" : "") + "\nstdout:\n" +
         o.out + "\nstderr:\n" + o.err;
}

std::size_t count_lines(const std::string& s) {
  std::size_t n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

// Decodes a whole JPEG with libjpeg; returns its size or 0x0 on any error.
std::pair<unsigned, unsigned> decode_jpeg(const std::string& bytes) {
  struct Err {
    jpeg_error_mgr mgr;
    jmp_buf jump;
  } err;
  jpeg_decompress_struct cinfo;
  std::vector<unsigned char> row;  // outside the jump's reach, so a failure cannot skip its destructor
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = [](j_common_ptr c) { longjmp(reinterpret_cast<Err*>(c->err)->jump, 1); };
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return {0, 0};
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  row.resize(static_cast<std::size_t>(cinfo.output_width) * static_cast<std::size_t>(cinfo.output_components));
  while (cinfo.output_scanline < cinfo.output_height) {
    unsigned char* p = row.data();
    jpeg_read_scanlines(&cinfo, &p, 1);
  }
  std::pair<unsigned, unsigned> size{cinfo.output_width, cinfo.output_height};
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return size;
}

// Decodes a whole PNG with libpng; returns its size or 0x0 on any error.
std::pair<unsigned, unsigned> decode_png(const std::string& bytes) {
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&img, bytes.data(), bytes.size())) return {0, 0};
  img.format = PNG_FORMAT_RGBA;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(img));
  if (!png_image_finish_read(&img, nullptr, pixels.data(), 0, nullptr)) return {0, 0};
  return {img.width, img.height};
}

class Tools : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(sim_.address().empty()) << "mok-camsim did not start:\n" << sim_.log(); }
  Simulator sim_;
  TempDir dir_;
};

TEST_F(Tools, SetValuesAreReportedBackByInfo) {
  Outcome set = mokctl({"set", sim_.address(), "--exposure", "4321", "--laser", "off", "--strength", "55",
                        "--task", "7", "--rts", "now"});
  ASSERT_EQ(set.exit_code, 0) << describe(set);
  EXPECT_NE(set.out.find("confirmed"), std::string::npos) << set.out;

  Outcome info = mokctl({"info", sim_.address()});
  ASSERT_EQ(info.exit_code, 0) << describe(info);
  EXPECT_NE(info.out.find("exposure time  4321\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("laser          off\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("laser strength 55\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("task id        7\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("board id       SIMBOARD"), std::string::npos) << info.out;

  // An RTS alone: written before mokctl closes, and confirmed only by a
  // report whose clock runs on from the written value.
  Outcome rts = mokctl({"set", sim_.address(), "--rts", "1000000"});
  ASSERT_EQ(rts.exit_code, 0) << describe(rts);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(rts.out, m, std::regex("RTS +([0-9]+)\n"))) << rts.out;
  const unsigned long long reported = std::stoull(m[1]);
  EXPECT_GE(reported, 1000000ull) << rts.out;
  EXPECT_LT(reported, 1000000ull + 60'000'000ull) << rts.out;

  Outcome nothing = mokctl({"set", sim_.address()});
  EXPECT_EQ(nothing.exit_code, 2) << describe(nothing);
  Outcome bad_rts = mokctl({"set", sim_.address(), "--rts", "soon"});
  EXPECT_EQ(bad_rts.exit_code, 2) << describe(bad_rts);
}

TEST_F(Tools, ScanCountReceivesExactlyThatManyAndWritesCsvAndPlot) {
  Outcome o = mokctl(
      {"scan", sim_.address(), "--count", "500", "--csv", dir_.file("r.csv"), "--plot", dir_.file("p.svg")}, 120);
  ASSERT_EQ(o.exit_code, 0) << describe(o);
  EXPECT_NE(o.out.find("received 500 results"), std::string::npos) << o.out;
  std::string csv = tooltest::read_file(dir_.file("r.csv"));
  EXPECT_EQ(count_lines(csv), 501u);
  EXPECT_EQ(csv.rfind("t_s,pts,seam_found,", 0), 0u);
  std::string svg = tooltest::read_file(dir_.file("p.svg"));
  EXPECT_EQ(svg.rfind("<svg", 0), 0u);
  EXPECT_NE(svg.find("<polyline"), std::string::npos);
  EXPECT_NE(svg.find("</svg>"), std::string::npos);
}

// Runs `script` with /bin/sh, $M standing for mokctl and $A for the address.
Outcome shell(const std::string& script, const std::string& address, const std::string& cwd, double limit_s = 30) {
  return tooltest::run({"/bin/sh", "-c", "M='" MOKCTL_PATH "'; A='" + address + "'; " + script}, limit_s, cwd);
}

TEST_F(Tools, ScanStreamsItsTableAndFinishesItOnSigtermOrAClosedPipe) {
  Outcome bad = mokctl({"scan", sim_.address(), "--csv", dir_.file("missing/r.csv")});
  EXPECT_EQ(bad.exit_code, 2) << describe(bad);
  EXPECT_NE(bad.err.find("its directory does not exist"), std::string::npos) << describe(bad);

  Outcome term = shell("$M scan $A --seconds 30 --csv r.csv --plot p.svg & p=$!; sleep 1; kill -TERM $p; wait $p",
                       sim_.address(), dir_.path());
  EXPECT_EQ(term.exit_code, 0) << describe(term);
  EXPECT_NE(term.out.find("(interrupted)"), std::string::npos) << describe(term);
  const std::string csv = tooltest::read_file(dir_.file("r.csv"));
  EXPECT_GT(count_lines(csv), 10u) << csv.substr(0, 200);
  EXPECT_EQ(csv.back(), '\n');
  EXPECT_NE(tooltest::read_file(dir_.file("p.svg")).find("</svg>"), std::string::npos);

  // The table on standard output, its reader gone after three lines.
  Outcome pipe = shell("$M scan $A --seconds 30 --csv - | head -n 3", sim_.address(), dir_.path(), 15);
  EXPECT_FALSE(pipe.timed_out) << describe(pipe);
  EXPECT_EQ(pipe.out.rfind("t_s,pts,seam_found,", 0), 0u) << describe(pipe);
  EXPECT_EQ(count_lines(pipe.out), 3u) << describe(pipe);
  EXPECT_NE(pipe.err.find("(the table's reader went away)"), std::string::npos) << describe(pipe);
}

TEST_F(Tools, ScanWritesEveryPointAndACloudViewersRead) {
  Outcome o = mokctl({"scan", sim_.address(), "--count", "20", "--points", dir_.file("p.csv"), "--ply",
                      dir_.file("c.ply"), "--pitch", "0.5"});
  ASSERT_EQ(o.exit_code, 0) << describe(o);
  const std::string points = tooltest::read_file(dir_.file("p.csv"));
  EXPECT_EQ(points.rfind("result,pts_us,point,y,z\n0,", 0), 0u) << points.substr(0, 100);
  EXPECT_NE(points.find("\n19,"), std::string::npos);
  EXPECT_EQ(points.find("\n20,"), std::string::npos);
  // The header's count matches the vertex lines; x steps by the pitch.
  const std::string ply = tooltest::read_file(dir_.file("c.ply"));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(ply, m, std::regex("element vertex ([0-9]+)\n"))) << ply.substr(0, 300);
  const std::size_t vertices = std::stoul(m[1]);
  const std::size_t body = ply.find("end_header\n") + 11;
  EXPECT_GT(vertices, 0u);
  EXPECT_EQ(count_lines(ply.substr(body)), vertices);
  EXPECT_NE(ply.find("\n9.5000 "), std::string::npos);  // the 20th profile
}

TEST_F(Tools, SnapshotsDecodeAsJpegAndPng) {
  // The simulator picks the format from the first request value.
  Outcome jpg = mokctl({"snapshot", sim_.address(), "--format-code", "1", "-o", dir_.file("s.jpg")});
  ASSERT_EQ(jpg.exit_code, 0) << describe(jpg);
  std::string j = tooltest::read_file(dir_.file("s.jpg"));
  ASSERT_GE(j.size(), 3u);
  EXPECT_EQ(j.substr(0, 3), "\xFF\xD8\xFF");
  auto js = decode_jpeg(j);
  EXPECT_GT(js.first, 0u);
  EXPECT_GT(js.second, 0u);

  Outcome png = mokctl({"snapshot", sim_.address(), "--format", "png", "-o", dir_.file("s.png")});
  ASSERT_EQ(png.exit_code, 0) << describe(png);
  auto ps = decode_png(tooltest::read_file(dir_.file("s.png")));
  EXPECT_GT(ps.first, 0u);
  EXPECT_GT(ps.second, 0u);

  // A raw grey image becomes a PNG of the reported sensor size when asked for.
  Outcome raw = mokctl({"snapshot", sim_.address(), "--format", "raw", "-o", dir_.file("raw.png")});
  ASSERT_EQ(raw.exit_code, 0) << describe(raw);
  auto rs = decode_png(tooltest::read_file(dir_.file("raw.png")));
  EXPECT_EQ(rs.first, 1280u);
  EXPECT_EQ(rs.second, 1024u);

  // Without -o the name follows the format.
  Outcome named = mokctl({"snapshot", sim_.address(), "--format", "png"}, 60, dir_.path());
  ASSERT_EQ(named.exit_code, 0) << describe(named);
  EXPECT_TRUE(tooltest::file_exists(dir_.file("snapshot.png")));
}

TEST_F(Tools, RecordWritesEveryPacketInTheReplayFormat) {
  Outcome o = mokctl({"record", sim_.address(), "--count", "50", "-o", dir_.file("r.mokrec")});
  ASSERT_EQ(o.exit_code, 0) << describe(o);
  auto rec = camsim::read_recording_file(dir_.file("r.mokrec"));
  ASSERT_TRUE(rec.ok()) << rec.error();
  EXPECT_GE(rec->packets.size(), 50u);
  EXPECT_FALSE(rec->truncated);
  for (std::size_t i = 1; i < rec->packets.size(); ++i) {
    EXPECT_LE(rec->packets[i - 1].time_us, rec->packets[i].time_us);
  }
  // convert decodes it into the point files scan writes.
  Outcome csv = mokctl({"convert", dir_.file("r.mokrec"), "-o", dir_.file("r.csv")});
  ASSERT_EQ(csv.exit_code, 0) << describe(csv);
  EXPECT_EQ(tooltest::read_file(dir_.file("r.csv")).rfind("result,pts_us,point,y,z\n0,", 0), 0u);
  Outcome ply = mokctl({"convert", dir_.file("r.mokrec"), "-o", dir_.file("r.ply"), "--speed", "10"});
  ASSERT_EQ(ply.exit_code, 0) << describe(ply);
  EXPECT_NE(tooltest::read_file(dir_.file("r.ply")).find("end_header\n"), std::string::npos);
  EXPECT_EQ(mokctl({"convert", dir_.file("r.mokrec"), "-o", dir_.file("r.txt")}).exit_code, 2);

  // The recording replays: a scan against the replaying simulator gets results.
  Simulator replay({"--replay", dir_.file("r.mokrec"), "--replay-loop"});
  ASSERT_FALSE(replay.address().empty()) << replay.log();
  Outcome scan = mokctl({"scan", replay.address(), "--count", "5"});
  EXPECT_EQ(scan.exit_code, 0) << describe(scan);
}

TEST_F(Tools, StatsShowsTheLiveConnectionsFigures) {
  Outcome o = mokctl({"stats", sim_.address(), "--seconds", "2"}, 60);
  ASSERT_EQ(o.exit_code, 0) << describe(o);
  // One progress line a second, then the table.
  EXPECT_GE(count_lines(o.out.substr(0, o.out.find("Connection:"))), 2u) << o.out;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(o.out, m,
                                std::regex(R"(Connection: (\w+) for \d+ ms; (\d+) attempts, (\d+) established)")))
      << o.out;
  EXPECT_EQ(m[1], "Connected") << o.out;
  EXPECT_EQ(m[2], "1") << o.out;
  EXPECT_EQ(m[3], "1") << o.out;
  EXPECT_NE(o.out.find("Disconnects: remote close 0, inactivity 0, decode error 0, write failure 0, stop 0\n"),
            std::string::npos)
      << o.out;
  ASSERT_TRUE(std::regex_search(
      o.out, m,
      std::regex(
          R"(By class: (\d+) register reports, \d+ snapshot images, (\d+) scan results \((\d+) rejected\))")))
      << o.out;
  EXPECT_GT(std::stoull(m[1]), 0u) << o.out;
  EXPECT_GT(std::stoull(m[2]), 0u) << o.out;
  EXPECT_EQ(m[3], "0") << o.out;
  ASSERT_TRUE(std::regex_search(o.out, m, std::regex(R"(Received: (\d+) packets, (\d+) bytes)"))) << o.out;
  EXPECT_GT(std::stoull(m[1]), 0u) << o.out;
  EXPECT_GT(std::stoull(m[2]), 24 * std::stoull(m[1])) << o.out;
  EXPECT_NE(o.out.find("queue full"), std::string::npos) << o.out;
  // Nothing went wrong, so there is no failure to show.
  EXPECT_EQ(o.out.find("Last failure:"), std::string::npos) << o.out;
}

TEST(ToolsVideo, SavesDecodedFramesAndRecordsTheStream) {
  Simulator sim({"--video", "h264"});
  ASSERT_FALSE(sim.address().empty()) << sim.log();
  TempDir dir;
  Outcome o = mokctl(
      {"video", sim.address(), "--frames", "3", "-o", dir.file("frames"), "--record", dir.file("v.mokrec")}, 120);
  if (o.exit_code == 5 && o.err.find("built without video") != std::string::npos) {
    GTEST_SKIP() << "this build has no video functions";
  }
  ASSERT_EQ(o.exit_code, 0) << describe(o);
  for (const char* name : {"frame0000.png", "frame0001.png", "frame0002.png"}) {
    auto size = decode_png(tooltest::read_file(dir.file("frames/") + name));
    EXPECT_GT(size.first, 0u) << name;
    EXPECT_GT(size.second, 0u) << name;
  }
  auto rec = camsim::read_recording_file(dir.file("v.mokrec"));
  ASSERT_TRUE(rec.ok()) << rec.error();
  bool has_video = false;
  for (const auto& p : rec->packets) has_video = has_video || p.head[5] == 23;  // kind VideoH264
  EXPECT_TRUE(has_video);

  // Away from the decoder library (found next to the program in the build
  // tree) video fails with its own exit code and says what is missing.
  // Sanitizer runtimes intercept dlopen from the executable, which then
  // searches the program's own run path (the build tree), so the check only
  // holds in plain builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return;
#endif
#endif
  std::filesystem::copy_file(MOKCTL_PATH, dir.file("mokctl"));
  std::filesystem::permissions(dir.file("mokctl"), std::filesystem::perms::owner_all);
  Outcome missing = tooltest::run({dir.file("mokctl"), "video", sim.address(), "--frames", "1", "-o", dir.path()},
                                  60, dir.path());
  EXPECT_EQ(missing.exit_code, 5) << describe(missing);
  EXPECT_NE(missing.err.find("libmok_media.so could not be loaded"), std::string::npos) << missing.err;
}

TEST(ToolsVideo, ARecordingEndedByCtrlCIsComplete) {
  Simulator sim({"--video", "h264"});
  ASSERT_FALSE(sim.address().empty()) << sim.log();
  TempDir dir;
  // A backgrounded shell job starts with SIGINT ignored; mokctl installs its
  // own handler, so the signal still reaches it as Ctrl-C would.
  Outcome o = shell("$M video $A --frames 100000 -o f --record v.mokrec & p=$!; sleep 2; kill -INT $p; wait $p",
                    sim.address(), dir.path(), 60);
  if (o.exit_code == 5 && o.err.find("built without video") != std::string::npos) {
    GTEST_SKIP() << "this build has no video functions";
  }
  ASSERT_EQ(o.exit_code, 0) << describe(o);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(o.out, m, std::regex("recorded ([0-9]+) packets"))) << describe(o);
  auto rec = camsim::read_recording_file(dir.file("v.mokrec"));
  ASSERT_TRUE(rec.ok()) << rec.error();
  EXPECT_FALSE(rec->truncated) << "the last packet was cut";
  EXPECT_EQ(rec->packets.size(), std::stoull(m[1]));
  EXPECT_TRUE(
      std::any_of(rec->packets.begin(), rec->packets.end(), [](const auto& p) { return p.head[5] == 23; }));
}

TEST(ToolsDemo, WritesEveryFileItNames) {
  TempDir dir;
  Outcome o = mokctl({"demo", "--seconds", "1", "-o", dir.path()}, 120);
  ASSERT_EQ(o.exit_code, 0) << describe(o);
  auto at = o.out.find("Files written:\n");
  ASSERT_NE(at, std::string::npos) << o.out;
  std::istringstream names(o.out.substr(at + 15));
  std::string line;
  std::vector<std::string> files;
  while (std::getline(names, line)) {
    if (line.rfind("  ", 0) == 0) files.push_back(line.substr(2));
  }
  ASSERT_GE(files.size(), 3u) << o.out;  // CSV, plot, snapshot (and a frame with video)
  for (const auto& f : files) {
    EXPECT_EQ(f.rfind(dir.path(), 0), 0u) << f << " is outside -o";
    EXPECT_FALSE(tooltest::read_file(f).empty()) << f;
  }
  EXPECT_NE(o.out.find("board id       SIMBOARD"), std::string::npos);
  EXPECT_NE(o.out.find("Laser on."), std::string::npos);
  EXPECT_NE(o.out.find("res/s"), std::string::npos);
}

// "127.0.0.1:PORT" where nothing listens: bound, then closed again.
std::string closed_address() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
}

TEST(ToolsErrors, SayWhatWentWrongWithDistinctExitCodes) {
  const std::string closed = closed_address();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  TempDir closed_dir;
  Outcome no_recording = mokctl({"--timeout", "1", "record", closed, "-o", closed_dir.file("r.mokrec")});
  EXPECT_EQ(no_recording.exit_code, 3) << describe(no_recording);
  EXPECT_FALSE(tooltest::file_exists(closed_dir.file("r.mokrec")));

  Outcome refused = mokctl({"--timeout", "3", "info", closed});
  EXPECT_EQ(refused.exit_code, 3) << describe(refused);
  EXPECT_NE(refused.err.find("Cannot reach the camera at " + closed), std::string::npos) << refused.err;

  Outcome bad = mokctl({"info", "cam-01:99999"});
  EXPECT_EQ(bad.exit_code, 2) << describe(bad);
  EXPECT_NE(bad.err.find("\"cam-01:99999\" is not usable"), std::string::npos) << bad.err;

  // A peer that accepts and then stays silent.
  int srv = socket(AF_INET, SOCK_STREAM, 0);
  a.sin_port = 0;
  ASSERT_EQ(bind(srv, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(srv, 4), 0);
  len = sizeof a;
  getsockname(srv, reinterpret_cast<sockaddr*>(&a), &len);
  Outcome silent = mokctl({"--timeout", "1", "info", "127.0.0.1:" + std::to_string(ntohs(a.sin_port))});
  close(srv);
  EXPECT_EQ(silent.exit_code, 4) << describe(silent);
  EXPECT_NE(silent.err.find("sent no parameters within 1.0 s"), std::string::npos) << silent.err;

  Outcome usage = mokctl({"scan"});
  EXPECT_EQ(usage.exit_code, 2) << describe(usage);
  Outcome too_short = mokctl({"--inactivity-timeout", "50", "info", closed});
  EXPECT_EQ(too_short.exit_code, 2) << describe(too_short);
}

// Faults of the simulator: every loss and return is said on standard error
// with its cause, library errors show without -v, and a run that ends with
// the connection gone exits 3. Timings in milliseconds keep them short.
Outcome mokctl_fast(std::vector<std::string> args) {
  const std::vector<std::string> fast = {"--reconnect-delay", "100", "--inactivity-timeout", "300"};
  args.insert(args.begin(), fast.begin(), fast.end());
  return mokctl(args, 30);
}

// `mokctl stats` for `seconds` against a simulator with `fault`.
Outcome stats_with(const std::vector<std::string>& fault, const char* seconds) {
  Simulator sim(fault);
  EXPECT_FALSE(sim.address().empty()) << sim.log();
  return mokctl_fast({"stats", sim.address(), "--seconds", seconds});
}

TEST(ToolsFaults, EachDropIsSaidWithItsCauseAndEachReturn) {
  Outcome o = stats_with({"--drop-every", "0.5"}, "2");
  EXPECT_NE(o.err.find("lost (closed by the camera: remote closed read half)"), std::string::npos) << describe(o);
  EXPECT_NE(o.err.find(" is back"), std::string::npos) << describe(o);
}

TEST(ToolsFaults, AFrozenCameraIsNoticedAfterTheInactivityTime) {
  Outcome o = stats_with({"--freeze-after", "0.3"}, "2");
  EXPECT_NE(o.err.find("lost (the camera went silent: connection timed out due to inactivity)"), std::string::npos)
      << describe(o);
}

TEST(ToolsFaults, LibraryErrorsShowWithoutVerbose) {
  Outcome o = stats_with({"--corrupt-after", "0.3"}, "1");
  EXPECT_NE(o.err.find("[error mok_fxt::client::tcp] failed to decode packet: Length Too Small(2 < 4)"),
            std::string::npos)
      << describe(o);
  EXPECT_NE(o.err.find("lost (the camera sent invalid data: Length Too Small(2 < 4))"), std::string::npos)
      << describe(o);
}

TEST(ToolsFaults, ARunThatEndsWithTheCameraGoneExits3) {
  auto sim = std::make_unique<Simulator>();
  ASSERT_FALSE(sim->address().empty()) << sim->log();
  const std::string address = sim->address();
  Outcome o;
  std::thread scan([&] { o = mokctl_fast({"scan", address, "--seconds", "2.5"}); });
  std::this_thread::sleep_for(std::chrono::seconds(1));
  sim.reset();  // the camera goes away for good
  scan.join();
  EXPECT_EQ(o.exit_code, 3) << describe(o);
  EXPECT_NE(o.err.find("was lost while receiving profiles and was not back"), std::string::npos) << describe(o);
  // Once nothing arrives, the status line shows no seam values.
  EXPECT_NE(o.out.find("no results"), std::string::npos) << describe(o);
}

TEST(ToolsFaults, ASettingTheCameraKeepsIsAnErrorNotConfirmed) {
  Simulator sim({"--ignore-writes", "strength"});
  ASSERT_FALSE(sim.address().empty()) << sim.log();
  Outcome o = mokctl({"--timeout", "1", "set", sim.address(), "--exposure", "4321", "--strength", "55"}, 30);
  EXPECT_EQ(o.exit_code, 4) << describe(o);
  // Only the setting the camera kept is named; the one it took is not.
  EXPECT_NE(o.err.find("did not confirm the new laser strength within"), std::string::npos) << describe(o);
  EXPECT_EQ(o.out.find("confirmed the new settings"), std::string::npos) << describe(o);
}

TEST(ToolsErrors, SimulatorRefusesEveryBadOptionWithExit2) {
  const std::vector<std::vector<std::string>> bad = {
      {"--points", "0"},           {"--width", "0"},        {"--rate", "0"},        {"--log-level", "loud"},
      {"--video-size", "641x480"}, {"--video-size", "640"}, {"--drop-every", "-1"}, {"--report-interval", "0"},
      {"--ignore-writes", "gain"}};
  for (const auto& args : bad) {
    std::vector<std::string> argv = {CAMSIM_PATH, "--port", "0", "--duration", "1"};
    argv.insert(argv.end(), args.begin(), args.end());
    Outcome o = tooltest::run(argv, 10);
    EXPECT_EQ(o.exit_code, 2) << args[0] << " " << args[1] << "\n" << describe(o);
    EXPECT_NE(o.err.find(args[0]), std::string::npos) << describe(o);
  }
  Outcome help = tooltest::run({CAMSIM_PATH, "--help"}, 10);
  EXPECT_EQ(help.exit_code, 0) << describe(help);
  EXPECT_EQ(help.out.find("docs/"), std::string::npos) << help.out;
}

TEST(ToolsHelp, EveryCommandHasHelp) {
  for (const char* cmd : {"demo", "info", "set", "scan", "snapshot", "video", "record", "stats", "convert"}) {
    Outcome o = mokctl({cmd, "--help"});
    EXPECT_EQ(o.exit_code, 0) << cmd << "\n" << describe(o);
    EXPECT_NE(o.out.find("Usage"), std::string::npos) << cmd;
  }
}

#ifdef C_HOST_PATH
TEST_F(Tools, ExampleHostsRunAgainstTheSimulator) {
  for (const char* host : {C_HOST_PATH, CPP_HOST_PATH}) {
    Outcome o = tooltest::run({host, sim_.address()}, 60);
    EXPECT_EQ(o.exit_code, 0) << host << "\n" << describe(o);
    EXPECT_NE(o.out.find("snapshot"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("board id SIMBOARD"), std::string::npos) << o.out;
  }
  Outcome refused = tooltest::run({C_HOST_PATH, "a:b:c"}, 30);
  EXPECT_EQ(refused.exit_code, 2) << describe(refused);
  // Unreachable: the real cause, not a time-out.
  Outcome unreachable = tooltest::run({C_HOST_PATH, closed_address()}, 30);
  EXPECT_EQ(unreachable.exit_code, 1) << describe(unreachable);
  EXPECT_NE(unreachable.err.find("the camera could not be reached (status -4, last failure: Connection refused)"),
            std::string::npos)
      << describe(unreachable);
}
#endif

}  // namespace

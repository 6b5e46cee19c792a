// Child processes for the tool tests: run a program with a bounded wait and
// its output captured, and run the simulator (mok-camsim --port 0) for the
// length of a test. C++17, so the wrapper test can use it too.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace tooltest {

struct Outcome {
  int exit_code = -1;  // -1 when killed after the time limit or by a signal
  bool timed_out = false;
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] is the program path) in `cwd` ("" keeps the current
// one) and kills it after `limit_s` seconds.
Outcome run(const std::vector<std::string>& argv, double limit_s = 60, const std::string& cwd = "");
// As run, for one of this machine's programs (a shell) rather than one of
// this build's, which a cross build runs through its emulator.
Outcome run_host(const std::vector<std::string>& argv, double limit_s = 60, const std::string& cwd = "");
Outcome run_program(const std::vector<std::string>& argv, double limit_s, const std::string& cwd, bool built);

// A fresh empty directory under the system's temporary directory, removed
// with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// mok-camsim on 127.0.0.1 with a free port; stopped (SIGTERM, then SIGKILL)
// with the object. It also ends by itself after a few minutes.
class Simulator {
 public:
  explicit Simulator(const std::vector<std::string>& extra_args = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;
  // Empty when the simulator did not report its port in time.
  const std::string& address() const { return address_; }
  const std::string& log() const;

 private:
  TempDir dir_;
  pid_t pid_ = -1;
  std::string address_;
  mutable std::string log_;
};

std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

// A UDP port free a moment ago (the simulator sends poses to it, mokctl binds it).
std::string free_udp_port();

}  // namespace tooltest

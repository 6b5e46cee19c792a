// fork/exec with output into files (no pipe can fill up and stall a child)
// and waits that poll waitpid until a deadline.
#include "process.hpp"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/child_argv.hpp"

#ifndef CAMSIM_PATH
#error "CAMSIM_PATH must name the mok-camsim binary"
#endif

namespace tooltest {
namespace {

// `built`: argv[0] is a program of this build (run through its emulator, if
// any), not one of this machine's.
pid_t spawn(const std::vector<std::string>& program_argv, const std::string& out, const std::string& err,
            const std::string& cwd, bool built = true) {
  const std::vector<std::string> argv = built ? mok::test::child_argv(program_argv) : program_argv;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (o < 0 || e < 0 || in < 0) _exit(126);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// Waits up to `limit_s`; returns the wait status, or -1 when still running.
int wait_for(pid_t pid, double limit_s) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit_s);
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return 0;
    if (std::chrono::steady_clock::now() >= until) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  if (wait_for(pid, 5) == -1) {
    kill(pid, SIGKILL);
    wait_for(pid, 5);
  }
}

}  // namespace

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

std::string free_udp_port() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return std::to_string(ntohs(a.sin_port));
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "moktool-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) std::abort();
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

Outcome run(const std::vector<std::string>& argv, double limit_s, const std::string& cwd) {
  return run_program(argv, limit_s, cwd, true);
}

Outcome run_host(const std::vector<std::string>& argv, double limit_s, const std::string& cwd) {
  return run_program(argv, limit_s, cwd, false);
}

Outcome run_program(const std::vector<std::string>& argv, double limit_s, const std::string& cwd, bool built) {
  TempDir io;
  Outcome o;
  pid_t pid = spawn(argv, io.file("out"), io.file("err"), cwd, built);
  int status = wait_for(pid, limit_s);
  if (status == -1) {
    o.timed_out = true;
    stop(pid);
  } else if (WIFEXITED(status)) {
    o.exit_code = WEXITSTATUS(status);
  }
  o.out = read_file(io.file("out"));
  o.err = read_file(io.file("err"));
  return o;
}

Simulator::Simulator(const std::vector<std::string>& extra_args) {
  std::vector<std::string> argv = {CAMSIM_PATH, "--port", "0", "--duration", "300"};
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  pid_ = spawn(argv, dir_.file("out"), dir_.file("err"), "");
  // The first line is "listening on 127.0.0.1:PORT".
  const std::string prefix = "listening on ";
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < until) {
    std::string out = read_file(dir_.file("out"));
    auto nl = out.find('\n');
    if (nl != std::string::npos) {
      std::string line = out.substr(0, nl);
      if (line.rfind(prefix, 0) == 0) address_ = line.substr(prefix.size());
      return;
    }
    if (wait_for(pid_, 0) != -1) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

Simulator::~Simulator() { stop(pid_); }

const std::string& Simulator::log() const {
  log_ = read_file(dir_.file("err"));
  return log_;
}

}  // namespace tooltest

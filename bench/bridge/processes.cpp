// Child processes of the bridge benchmark (see processes.hpp).
#include "processes.hpp"

#include <fstream>
#include <iterator>
#include <sstream>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace benchbridge {

double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = s.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream f(s.substr(close + 2));
  std::string field;
  unsigned long long ut = 0, st = 0;
  for (int i = 3; i <= 15 && f >> field; ++i) {
    if (i == 14) ut = std::stoull(field);
    if (i == 15) st = std::stoull(field);
  }
  return static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

Child::Child(std::vector<std::string> argv, const std::string& out) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  std::vector<char*> raw;
  for (auto& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  if (posix_spawnp(&pid_, raw[0], &fa, nullptr, raw.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&fa);
}

void Child::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 2000 && waitpid(pid_, &status, WNOHANG) != pid_; ++i) usleep(10000);
  if (waitpid(pid_, &status, WNOHANG) == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

}  // namespace benchbridge

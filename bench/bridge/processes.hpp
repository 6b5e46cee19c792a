// The child processes mok-bench-bridge measures (mok-bridge, the bare libmok
// receiver, ddsperf): started with their output in a file, ended with
// SIGTERM, and their CPU time read from /proc.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace benchbridge {

// CPU seconds (user + system) a process has used so far; 0 once it is gone.
double cpu_seconds(pid_t pid);

class Child {
 public:
  Child(std::vector<std::string> argv, const std::string& out);
  ~Child() { stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  // SIGTERM, then SIGKILL after 20 s.
  void stop();

 private:
  pid_t pid_ = -1;
};

}  // namespace benchbridge

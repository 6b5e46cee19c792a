// The command line a test runs a built program with. A cross-built suite runs
// under a user-mode emulator, which runs only the program it was started with:
// a child the test starts must be started through the emulator as well.
// MOK_TEST_EMULATOR holds the build's emulator command (words separated by
// spaces); a native build does not define it.
#pragma once

#include <climits>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace mok::test {

inline std::vector<std::string> child_argv(std::vector<std::string> argv) {
#ifdef MOK_TEST_EMULATOR
  // A fresh emulator's /proc/self/exe would be the emulator itself.
  if (!argv.empty() && argv[0] == "/proc/self/exe") {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) argv[0].assign(path, static_cast<std::size_t>(n));
  }
  std::vector<std::string> out;
  std::istringstream words(MOK_TEST_EMULATOR);
  for (std::string w; words >> w;) out.push_back(std::move(w));
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
#else
  return argv;
#endif
}

}  // namespace mok::test

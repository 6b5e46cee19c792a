// Counting entries of /proc/self directories and reading statm.
#include "fakes/process_figures.hpp"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>

namespace mok::test {

namespace {

std::size_t count_dir(const char* path) {
  std::size_t n = 0;
  if (DIR* d = opendir(path)) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
  }
  return n;
}

}  // namespace

// The directory stream itself holds one descriptor while counting.
std::size_t open_fds() { return count_dir("/proc/self/fd") - 1; }
std::size_t thread_count() { return count_dir("/proc/self/task"); }

std::size_t resident_bytes() {
  long pages_total = 0;
  long pages_resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages_total, &pages_resident) != 2) pages_resident = 0;
    std::fclose(f);
  }
  return static_cast<std::size_t>(pages_resident) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace mok::test

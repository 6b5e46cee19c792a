// Figures of this test process read from /proc/self, which the leak and
// growth tests compare before and after a run: open descriptors, threads and
// resident memory. Header-only, so unit tests that link one component use it.
#pragma once

#include <cstddef>
#include <cstdio>

#include <dirent.h>
#include <unistd.h>

namespace mok::test {

inline std::size_t count_dir_entries(const char* path) {
  std::size_t n = 0;
  if (DIR* d = opendir(path)) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
  }
  return n;
}

// The directory stream itself holds one descriptor while counting.
inline std::size_t open_fds() { return count_dir_entries("/proc/self/fd") - 1; }
inline std::size_t thread_count() { return count_dir_entries("/proc/self/task"); }

inline std::size_t resident_bytes() {
  long pages_total = 0;
  long pages_resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages_total, &pages_resident) != 2) pages_resident = 0;
    std::fclose(f);
  }
  return static_cast<std::size_t>(pages_resident) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace mok::test

// What the benchmarks share: timing, medians, and the peak memory one run of
// a query needs, measured in a child process.
#pragma once

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace bench {

inline double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Frees what the variant before left in the allocator's caches. Without it
// the next variant's first large allocation pays for merging the millions of
// small chunks that the previous result freed, so each variant would be
// charged for the garbage of the one before it.
inline void settleAllocator() { malloc_trim(0); }

// Reads a "Vm...:  N kB" line of /proc/self/status, in bytes.
inline long statusBytes(const char* key) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  std::size_t n = std::strlen(key);
  while (std::fgets(line, sizeof line, f))
    if (!std::strncmp(line, key, n)) kb = std::atol(line + n + 1);
  std::fclose(f);
  return kb * 1024;
}

// The peak memory that one query needs, measured in a child process so that
// neither the other variants nor memory the allocator kept from earlier
// rounds hides it: the child resets its resident high-water mark, runs the
// query once, and reports how far the mark rose above where it started. A
// child that shares a connection with the parent uses it while the parent
// waits, so the two never speak on it at once.
template <class F>
double peakBytesPerRow(long rows, F&& query) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    if (FILE* clear = std::fopen("/proc/self/clear_refs", "w")) {
      std::fputs("5", clear);
      std::fclose(clear);
    }
    malloc_trim(0);  // give back what the parent freed, so new memory shows
    long base = statusBytes("VmRSS:");
    query();
    double perRow = static_cast<double>(statusBytes("VmHWM:") - base) / static_cast<double>(rows);
    ssize_t ignored = write(fds[1], &perRow, sizeof perRow);
    (void)ignored;
    _exit(0);
  }
  close(fds[1]);
  double perRow = -1;
  if (read(fds[0], &perRow, sizeof perRow) != sizeof perRow) perRow = -1;
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return perRow;
}

}  // namespace bench

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
#include <initializer_list>
#include <vector>

namespace bench {

inline double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// A "--NAME N" option of a benchmark and where its number goes.
struct NumberOption {
  const char* name;
  long* value;
};

// Reads the command line into the options, each a positive number. False,
// after the usage line on standard error, for anything else.
inline bool readOptions(int argc, char** argv, std::initializer_list<NumberOption> options) {
  for (int i = 1; i < argc; ++i) {
    const NumberOption* option = nullptr;
    for (const NumberOption& candidate : options)
      if (!std::strcmp(argv[i], candidate.name)) option = &candidate;
    if (option && i + 1 < argc && (*option->value = std::atol(argv[++i])) > 0) continue;
    std::fprintf(stderr, "usage: %s", argv[0]);
    for (const NumberOption& candidate : options) std::fprintf(stderr, " [%s N]", candidate.name);
    std::fprintf(stderr, " (N above 0)\n");
    return false;
  }
  return true;
}

// Frees what the variant before left in the allocator's caches. Without it
// the next variant's first large allocation pays for merging the millions of
// small chunks that the previous result freed, so each variant would be
// charged for the garbage of the one before it.
inline void settleAllocator() { malloc_trim(0); }

// Times one run of a variant and records it in `times`. The result is freed
// after the clock stops, then the allocator is settled for the next variant.
// False, with a line on standard error, when the run did not give `rows`
// rows (as `rowCount` counts them).
template <class Run, class RowCount>
bool timeVariant(const char* name, long rows, std::vector<double>& times, Run&& run, RowCount&& rowCount) {
  bool right = false;
  {
    const auto start = std::chrono::steady_clock::now();
    const auto result = run();
    times.push_back(seconds(start));
    right = static_cast<long>(rowCount(result)) == rows;
  }
  settleAllocator();
  if (!right) std::fprintf(stderr, "%s: wrong row count\n", name);
  return right;
}

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

// Benchmark of the configuration snapshot on a tree of about 5,000 files and 50 MB: the peak
// memory of takeSnapshot against the tree's content size, and snapshot plus write-back time
// against `cp -a` of the same tree (warm caches, median of several runs).
// usage: snapshot_bench [WORK_DIR] [FILES] [TOTAL_MB] [RUNS]
// SNAPSHOT_BENCH_VERBOSE=1 shows each run. A shared, busy disk makes the times swing several-fold:
// compare on a quiet file system.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "disk/snapshot.h"

namespace {

double now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A field of /proc/self/status in KiB, e.g. "VmHWM:".
long statusKib(const char* field) {
  FILE* status = fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long value = -1;
  size_t length = strlen(field);
  while (fgets(line, sizeof line, status) != nullptr) {
    if (strncmp(line, field, length) == 0) value = strtol(line + length, nullptr, 10);
  }
  fclose(status);
  return value;
}

int run(const std::string& command) {
  return system(command.c_str());
}

// 50 directories of files whose sizes spread from a few bytes to a few times the average,
// like configuration files next to a few larger databases. Returns the content bytes.
uint64_t makeTree(const std::string& root, int files, uint64_t totalBytes) {
  const int directories = 50;
  mkdir(root.c_str(), 0755);
  std::vector<char> buffer;
  uint64_t written = 0;
  uint32_t seed = 1;
  const uint64_t average = totalBytes / static_cast<uint64_t>(files);
  for (int d = 0; d < directories; ++d) {
    std::string dir = root + "/d" + std::to_string(d);
    mkdir(dir.c_str(), 0755);
    if (d % 5 == 0) {
      dir += "/nested";
      mkdir(dir.c_str(), 0700);
    }
    for (int f = d; f < files; f += directories) {
      seed = seed * 1103515245u + 12345u;
      uint64_t size = (seed >> 8) % (2 * average + 1);
      buffer.assign(size, static_cast<char>('a' + f % 26));
      std::string path = dir + "/file" + std::to_string(f) + ".conf";
      int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
      if (fd < 0 || write(fd, buffer.data(), size) != static_cast<ssize_t>(size)) return 0;
      close(fd);
      written += size;
    }
  }
  return written;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::string work = argc > 1 ? argv[1] : "/tmp";
  int files = argc > 2 ? atoi(argv[2]) : 5000;
  uint64_t totalBytes = (argc > 3 ? strtoull(argv[3], nullptr, 10) : 50) * 1000 * 1000;
  int runs = argc > 4 ? atoi(argv[4]) : 3;
  char pattern[4096];
  snprintf(pattern, sizeof pattern, "%s/snapshot_bench.XXXXXX", work.c_str());
  if (mkdtemp(pattern) == nullptr) {
    perror(pattern);
    return 1;
  }
  std::string base = pattern;
  std::string store = base + "/store";
  uint64_t content = makeTree(store, files, totalBytes);
  if (content == 0) {
    fprintf(stderr, "could not build the tree in %s\n", base.c_str());
    return 1;
  }
  run("sync");
  printf("tree: %d files, %.1f MB of content in %s\n", files, content / 1e6, store.c_str());

  // Peak memory, in a fresh child so that nothing before it inflates the high-water mark.
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return 1;
  pid_t child = fork();
  if (child == 0) {
    long before = statusKib("VmRSS:");
    ConfigSnapshot* snapshot = takeSnapshot(store.c_str());
    long peak = statusKib("VmHWM:");
    long result[2] = {snapshot != nullptr ? peak - before : -1, before};
    (void)!write(pipeFds[1], result, sizeof result);
    _exit(0);
  }
  long measured[2] = {-1, 0};
  (void)!read(pipeFds[0], measured, sizeof measured);
  waitpid(child, nullptr, 0);
  double growthMiB = measured[0] / 1024.0;
  double contentMiB = content / 1048576.0;
  double budgetMiB = contentMiB * 1.05 + 1.0;
  printf(
      "peak memory growth: %.2f MiB for %.2f MiB of content (%.2f%% over), budget %.2f MiB: %s\n",
      growthMiB, contentMiB, (growthMiB / contentMiB - 1) * 100, budgetMiB,
      growthMiB >= 0 && growthMiB <= budgetMiB ? "met" : "MISSED");

  std::vector<double> ours;
  std::vector<double> takes;
  std::vector<double> restores;
  std::vector<double> copies;
  std::string original = base + "/original";
  std::string copy = base + "/copy";
  run("cp -a '" + store + "' '" + original + "'");
  for (int i = 0; i < runs; ++i) {
    // Each timed step starts with nothing dirty, so neither pays for the other's write-back.
    run("rm -rf '" + copy + "'; sync");
    double start = now();
    run("cp -a '" + store + "' '" + copy + "'");
    copies.push_back(now() - start);

    run("sync");
    start = now();
    ConfigSnapshot* snapshot = takeSnapshot(store.c_str());
    double taken = now();
    run("rm -rf '" + store + "'; sync");
    double removed = now();
    bool restored = restoreSnapshot(snapshot);
    double end = now();
    if (snapshot == nullptr || !restored) {
      fprintf(stderr, "snapshot or write-back failed\n");
      return 1;
    }
    if (getenv("SNAPSHOT_BENCH_VERBOSE") != nullptr) {
      printf("run %d: cp -a %.3f s, snapshot %.3f s, write-back %.3f s\n", i, copies.back(),
             taken - start, end - removed);
    }
    takes.push_back(taken - start);
    restores.push_back(end - removed);
    ours.push_back((taken - start) + (end - removed));
  }
  if (run("diff -r '" + original + "' '" + store + "' >/dev/null") != 0) {
    fprintf(stderr, "written-back tree differs from the original\n");
    return 1;
  }
  double ratio = median(ours) / median(copies);
  printf("snapshot %.3f s + write-back %.3f s = %.3f s, cp -a: %.3f s (medians of %d runs)\n",
         median(takes), median(restores), median(ours), median(copies), runs);
  printf("ratio %.2f, goal 1.5: %s\n", ratio, ratio <= 1.5 ? "met" : "MISSED");
  run("rm -rf '" + base + "'");
  return 0;
}

// Benchmark of a medium's catalogue scan: PackageFile::readFrom over 500 package files, each
// with a large body after its .PKGINFO, reported as time per package (warm page cache).
// Run: qpk_scan_bench [WORK_DIR] [PACKAGES] [BODY_KB] [ROUNDS]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "qpk_format.h"

namespace {

double now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

bool writePackage(const std::string& path, int index, size_t bodyBytes) {
  PackageInfo info;
  info.name = "pkg" + std::to_string(index);
  info.version = "1.0";
  info.description = "benchmark package number " + std::to_string(index);
  if (index > 0) info.depends.push_back(PackageDep("pkg" + std::to_string(index - 1)));
  std::string text = formatPkgInfo(info);
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  int fd = fileno(f);
  QpkWriter* w = qpkWriterOpen(qpkWriteToFd, &fd, 6);
  TarEntry e;
  e.path = kPkgInfoName;
  e.size = text.size();
  bool ok = w && qpkWriteHeader(w, e) && qpkWriteData(w, text.data(), text.size());
  std::string body(bodyBytes, '\0');
  unsigned int x = static_cast<unsigned int>(index) * 2654435761u + 1;
  for (char& c : body) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  e.path = "usr/lib/body.bin";
  e.size = body.size();
  ok = ok && qpkWriteHeader(w, e) && qpkWriteData(w, body.data(), body.size());
  ok = w && qpkWriterClose(w) && ok;
  return fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string work = argc > 1 ? argv[1] : "/tmp/qpk-scan-bench";
  int count = argc > 2 ? atoi(argv[2]) : 500;
  size_t bodyKb = argc > 3 ? static_cast<size_t>(atoi(argv[3])) : 256;
  int rounds = argc > 4 ? atoi(argv[4]) : 5;
  mkdir(work.c_str(), 0755);
  std::vector<std::string> paths;
  for (int i = 0; i < count; ++i) {
    paths.push_back(work + "/pkg" + std::to_string(i) + ".qpk");
    if (!writePackage(paths.back(), i, bodyKb * 1024)) {
      fprintf(stderr, "cannot write %s\n", paths.back().c_str());
      return 1;
    }
  }
  double best = 1e9;
  for (int r = 0; r < rounds; ++r) {
    double start = now();
    for (const std::string& path : paths) {
      PackageFile p;
      if (!p.readFrom(path)) {
        fprintf(stderr, "readFrom failed: %s\n", path.c_str());
        return 1;
      }
    }
    double took = now() - start;
    if (took < best) best = took;
  }
  printf(
      "catalogue scan: %d packages of %zu KiB body, best of %d: %.2f ms total, %.1f us per "
      "package\n",
      count, bodyKb, rounds, best * 1e3, best * 1e6 / count);
  for (const std::string& path : paths) unlink(path.c_str());
  rmdir(work.c_str());
  return 0;
}

// mkfloppyset: writes the floppy set that the installer's floppy installation reads, from one
// or more package files concatenated as one package stream, and on request the FAT floppy
// images that carry it.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "floppy_writer.h"

extern char** environ;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "Usage: mkfloppyset [options] -o OUTDIR payload.qpk...\n"
    "\n"
    "Writes a floppy set for the installer's floppy installation. The payload files are\n"
    "concatenated in the order given (one package stream) and cut into part files\n"
    "OUTDIR/trenavox.n00, trenavox.n01, ... that each fit one 1.44 MB FAT floppy. Every part\n"
    "holds a 32-byte header and groups of CRC-32 protected blocks, each group closed by an XOR\n"
    "parity block, so one damaged block per group is repaired while the set is read.\n"
    "The same payload, layout and set id always give the same part files.\n"
    "\n"
    "Options:\n"
    "  -o, --output DIR       directory for the part files (created when missing)\n"
    "  --block-size N         stored block size in bytes, CRC included: 5 to 65535\n"
    "                         (default 1024)\n"
    "  --group-blocks N       blocks per group, parity included (default 16); block size\n"
    "                         times blocks per group must not exceed 1048576\n"
    "  --parity-blocks N      parity blocks per group (default 1; 0 means no repair)\n"
    "  --set-id HEX           set identifier, up to 8 hex digits (default: random)\n"
    "  --capacity BYTES       largest part file (default 1457664: a 1.44 MB FAT floppy)\n"
    "  --images               also write OUTDIR/trenavox.nNN.img, a 1.44 MB FAT floppy image\n"
    "                         per part holding its part file (needs mkfs.fat and mcopy)\n"
    "  -h, --help             this text\n"
    "\n"
    "Output: a line \"set XXXXXXXX: N parts, P payload bytes\" and one line per part file.\n"
    "Exit status: 0 written, 1 failed, 2 wrong usage.\n";

bool parseNumber(const char* text, int base, uint64_t max, uint64_t* value) {
  if (!text || !*text) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text, &end, base);
  if (errno != 0 || *end != '\0' || text[0] == '-' || v > max) return false;
  *value = v;
  return true;
}

bool readWholeFile(const char* path, std::vector<uint8_t>& out) {
  FILE* f = fopen(path, "rb");
  if (!f) {
    fprintf(stderr, "mkfloppyset: %s: %s\n", path, strerror(errno));
    return false;
  }
  uint8_t chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
  bool ok = !ferror(f);
  if (!ok) fprintf(stderr, "mkfloppyset: %s: read error\n", path);
  fclose(f);
  return ok;
}

bool writeWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) {
    fprintf(stderr, "mkfloppyset: %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  bool ok = bytes.empty() || fwrite(bytes.data(), bytes.size(), 1, f) == 1;
  if (fclose(f) != 0) ok = false;
  if (!ok) fprintf(stderr, "mkfloppyset: %s: write error\n", path.c_str());
  return ok;
}

// Runs a host tool with its chatter discarded and its complaints on our standard error; true
// when it exited with 0.
bool runHostTool(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    fprintf(stderr, "mkfloppyset: cannot run %s: %s\n", argv[0], strerror(rc));
    return false;
  }
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "mkfloppyset: %s failed\n", argv[0]);
    return false;
  }
  return true;
}

bool writeImage(const std::string& image, const std::string& part, const std::string& name,
                uint32_t volumeId) {
  (void)unlink(image.c_str());
  char id[16];
  snprintf(id, sizeof id, "%08X", volumeId);
  if (!runHostTool({"mkfs.fat", "--invariant", "-i", id, "-C", image, "1440"})) return false;
  return runHostTool({"mcopy", "-i", image, part, "::" + name});
}

}  // namespace

int main(int argc, char** argv) {
  enum { kBlockSize = 1000, kGroupBlocks, kParityBlocks, kSetId, kCapacity, kImages };
  static const option longOptions[] = {
      {"output", required_argument, nullptr, 'o'},
      {"block-size", required_argument, nullptr, kBlockSize},
      {"group-blocks", required_argument, nullptr, kGroupBlocks},
      {"parity-blocks", required_argument, nullptr, kParityBlocks},
      {"set-id", required_argument, nullptr, kSetId},
      {"capacity", required_argument, nullptr, kCapacity},
      {"images", no_argument, nullptr, kImages},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  FloppySetLayout layout;
  const char* outDir = nullptr;
  bool haveSetId = false, images = false;
  int c;
  while ((c = getopt_long(argc, argv, "o:h", longOptions, nullptr)) != -1) {
    uint64_t v = 0;
    switch (c) {
      case 'o':
        outDir = optarg;
        break;
      case kBlockSize:
      case kGroupBlocks:
      case kParityBlocks:
        if (!parseNumber(optarg, 10, 0xFFFF, &v)) {
          fprintf(stderr, "mkfloppyset: %s is not a number from 0 to 65535\n", optarg);
          return kExitUsage;
        }
        if (c == kBlockSize) layout.blockSize = static_cast<uint32_t>(v);
        if (c == kGroupBlocks) layout.groupBlocks = static_cast<uint32_t>(v);
        if (c == kParityBlocks) layout.parityBlocks = static_cast<uint32_t>(v);
        break;
      case kSetId:
        if (!parseNumber(optarg, 16, 0xFFFFFFFFull, &v)) {
          fprintf(stderr, "mkfloppyset: set id %s is not up to 8 hex digits\n", optarg);
          return kExitUsage;
        }
        layout.setId = static_cast<uint32_t>(v);
        haveSetId = true;
        break;
      case kCapacity:
        if (!parseNumber(optarg, 10, 0xFFFFFFFFull, &v)) {
          fprintf(stderr, "mkfloppyset: capacity %s is not a byte count\n", optarg);
          return kExitUsage;
        }
        layout.partFileLimit = v;
        break;
      case kImages:
        images = true;
        break;
      case 'h':
        fputs(kUsage, stdout);
        return 0;
      default:
        fputs(kUsage, stderr);
        return kExitUsage;
    }
  }
  if (!outDir || optind >= argc) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (const char* problem = layoutProblem(layout)) {
    fprintf(stderr, "mkfloppyset: %s\n", problem);
    return kExitUsage;
  }
  if (!haveSetId && !randomSetId(&layout.setId)) {
    fprintf(stderr, "mkfloppyset: no random source for the set id; give --set-id\n");
    return kExitFailure;
  }

  std::vector<uint8_t> payload;
  for (int i = optind; i < argc; ++i) {
    if (!readWholeFile(argv[i], payload)) return kExitFailure;
  }
  if (payload.empty()) {
    fprintf(stderr, "mkfloppyset: the payload is empty\n");
    return kExitFailure;
  }
  if (partsNeeded(layout, payload.size()) == 0) {
    fprintf(stderr, "mkfloppyset: the payload needs more than %u parts\n", kMaxSetParts);
    return kExitFailure;
  }
  if (mkdir(outDir, 0755) != 0 && errno != EEXIST) {
    fprintf(stderr, "mkfloppyset: %s: %s\n", outDir, strerror(errno));
    return kExitFailure;
  }

  std::vector<std::vector<uint8_t>> parts = buildFloppySet(layout, payload);
  printf("set %08X: %zu parts, %zu payload bytes\n", layout.setId, parts.size(), payload.size());
  for (size_t i = 0; i < parts.size(); ++i) {
    char name[32];
    snprintf(name, sizeof name, "trenavox.n%2.2zu", i);
    std::string path = std::string(outDir) + "/" + name;
    if (!writeWholeFile(path, parts[i])) return kExitFailure;
    printf("%s: %zu bytes\n", path.c_str(), parts[i].size());
    if (images) {
      std::string image = path + ".img";
      if (!writeImage(image, path, name, layout.setId + static_cast<uint32_t>(i))) {
        return kExitFailure;
      }
      printf("%s: floppy image\n", image.c_str());
    }
  }
  return 0;
}

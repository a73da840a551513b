// qpk: the package tool. Builds reproducible .qpk files, shows and checks them, and installs
// package streams into a directory with the same library code the installer runs.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <iostream>

#include "build.h"
#include "qpk_format.h"

namespace {

// Exit codes that scripts can rely on.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // a package is bad or did not install
constexpr int kExitUsage = 2;   // wrong command line

const char kUsage[] =
    "Usage:\n"
    "  qpk build DIR -o FILE [options]   make a package of the tree DIR\n"
    "      --name NAME --version VER --desc TEXT --depend NAME (repeatable) --arch ARCH\n"
    "          metadata; each overrides the same field of DIR/.PKGINFO\n"
    "      --owner UID:GID   owner of every entry (default 0:0)\n"
    "      --keep-owner      the files' own numeric owners\n"
    "      --mtime SECONDS   time of every entry (default $SOURCE_DATE_EPOCH, else 0)\n"
    "      --level N         compression level 0-9 (default 6)\n"
    "  qpk info FILE...                  show each package's metadata\n"
    "  qpk list FILE                     list the entries of the package(s) in FILE\n"
    "  qpk check FILE...                 verify structure, CRC-32 and path safety\n"
    "  qpk install --root DIR [--no-replace] [-v] FILE...|-\n"
    "                                    install packages (- reads a stream from stdin)\n"
    "A FILE may hold several packages back to back (a package stream).\n"
    "Exit status: 0 success, 1 a package is bad or failed to install, 2 usage error.\n";

int usageError(const char* why) {
  fprintf(stderr, "qpk: %s\n%s", why, kUsage);
  return kExitUsage;
}

bool parseNumber(const char* text, int64_t& value) {
  char* end = nullptr;
  long long v = strtoll(text, &end, 10);
  if (!*text || *end) return false;
  value = v;
  return true;
}

// Opens FILE, or stdin for "-", as a streambuf.
std::streambuf* openInput(const std::string& path, std::filebuf& file) {
  if (path == "-") {
    std::ios::sync_with_stdio(false);
    return std::cin.rdbuf();
  }
  return file.open(path, std::ios::in | std::ios::binary) ? &file : nullptr;
}

int commandBuild(int argc, char** argv) {
  BuildOptions options;
  const char* epoch = getenv("SOURCE_DATE_EPOCH");
  if (epoch && *epoch && !parseNumber(epoch, options.mtime)) {
    return usageError("SOURCE_DATE_EPOCH is not a number");
  }
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "-o" && hasValue) {
      options.outputPath = argv[++i];
    } else if (arg == "--name" && hasValue) {
      options.name = argv[++i];
    } else if (arg == "--version" && hasValue) {
      options.version = argv[++i];
    } else if (arg == "--desc" && hasValue) {
      options.description = argv[++i];
      options.haveDescription = true;
    } else if (arg == "--depend" && hasValue) {
      options.depends.push_back(argv[++i]);
    } else if (arg == "--arch" && hasValue) {
      options.arch = argv[++i];
    } else if (arg == "--keep-owner") {
      options.keepOwner = true;
    } else if (arg == "--owner" && hasValue) {
      unsigned int uid = 0, gid = 0;
      char extra = 0;
      if (sscanf(argv[++i], "%u:%u%c", &uid, &gid, &extra) != 2) {
        return usageError("--owner wants UID:GID");
      }
      options.fixedOwner = true;
      options.uid = uid;
      options.gid = gid;
    } else if (arg == "--mtime" && hasValue) {
      if (!parseNumber(argv[++i], options.mtime)) return usageError("--mtime wants seconds");
    } else if (arg == "--level" && hasValue) {
      int64_t level = 0;
      if (!parseNumber(argv[++i], level) || level < 0 || level > 9) {
        return usageError("--level wants 0 to 9");
      }
      options.level = static_cast<int>(level);
    } else if (!arg.empty() && arg[0] == '-') {
      return usageError(("unknown or incomplete option " + arg).c_str());
    } else if (options.sourceDir.empty()) {
      options.sourceDir = arg;
    } else {
      return usageError("build takes one directory");
    }
  }
  if (options.sourceDir.empty() || options.outputPath.empty()) {
    return usageError("build needs DIR and -o FILE");
  }
  return buildPackage(options) ? kExitOk : kExitFailed;
}

int commandInfo(int argc, char** argv) {
  if (argc == 0) return usageError("info needs a FILE");
  int status = kExitOk;
  for (int i = 0; i < argc; ++i) {
    PackageFile package;
    if (!package.readFrom(argv[i])) {
      fprintf(stderr, "qpk: %s: not a readable package\n", argv[i]);
      status = kExitFailed;
      continue;
    }
    if (i > 0) printf("\n");
    printf("file: %s\nname: %s\nversion: %s\ndescription: %s\n", argv[i], package.name.c_str(),
           package.version.c_str(), package.description.c_str());
    if (!package.arch.empty()) printf("arch: %s\n", package.arch.c_str());
    printf("depends:");
    for (const PackageDep& dep : package.depends) printf(" %s", dep.name.c_str());
    printf("\n");
  }
  return status;
}

// Checks everything and keeps nothing; optionally prints each entry.
class ListSink : public PackageSink {
 public:
  explicit ListSink(bool print) : print_(print) {}
  bool beginPackage(const PackageInfo& info, const std::string&) override {
    if (print_ && packages_++ > 0) printf("\n");
    if (print_) printf("# %s\n", info.getFullName().c_str());
    return true;
  }
  bool beginEntry(const TarEntry& e) override {
    if (!print_) return true;
    char kind = e.type == kTarDirectory     ? 'd'
                : e.type == kTarSymlink     ? 'l'
                : e.type == kTarHardLink    ? 'h'
                : e.type == kTarCharDevice  ? 'c'
                : e.type == kTarBlockDevice ? 'b'
                : e.type == kTarFifo        ? 'p'
                                            : '-';
    printf("%c%04o %u/%u %12llu %s%s", kind, static_cast<unsigned>(e.mode), e.uid, e.gid,
           static_cast<unsigned long long>(e.size), e.path.c_str(),
           e.type == kTarDirectory ? "/" : "");
    if (e.type == kTarSymlink) printf(" -> %s", e.linkTarget.c_str());
    if (e.type == kTarHardLink) printf(" link to %s", e.linkTarget.c_str());
    printf("\n");
    return true;
  }
  bool entryData(const uint8_t*, size_t) override { return true; }
  bool endEntry() override { return true; }
  bool commitPackage() override { return true; }
  void abortPackage() override {}

 private:
  bool print_;
  int packages_ = 0;
};

int scanFile(const char* path, bool print, bool report) {
  std::filebuf file;
  std::streambuf* in = openInput(path, file);
  if (!in) {
    fprintf(stderr, "qpk: %s: cannot open\n", path);
    return kExitFailed;
  }
  ListSink sink(print);
  std::string error;
  int count = readPackageStream(*in, sink, error);
  fflush(stdout);
  if (count < 0) {
    fprintf(stderr, "qpk: %s: %s\n", path, error.c_str());
    return kExitFailed;
  }
  if (count == 0) {
    fprintf(stderr, "qpk: %s: holds no package\n", path);
    return kExitFailed;
  }
  if (report) printf("%s: ok, %d package%s\n", path, count, count == 1 ? "" : "s");
  return kExitOk;
}

int commandInstall(int argc, char** argv) {
  std::string root;
  unsigned int flags = kInstallReplaceFiles;
  bool verbose = false;
  std::vector<std::string> files;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--root" && i + 1 < argc) {
      root = argv[++i];
    } else if (arg == "--no-replace") {
      flags &= ~kInstallReplaceFiles;
    } else if (arg == "-v") {
      verbose = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usageError(("unknown or incomplete option " + arg).c_str());
    } else {
      files.push_back(arg);
    }
  }
  if (root.empty() || files.empty()) return usageError("install needs --root DIR and a FILE");
  int rootFd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) {
    fprintf(stderr, "qpk: %s: not a directory we can open\n", root.c_str());
    return kExitFailed;
  }
  if (!preparePackageDb(rootFd, false)) {
    fprintf(stderr, "qpk: %s/%s: cannot prepare the package records\n", root.c_str(),
            kPackageDbDir);
    close(rootFd);
    return kExitFailed;
  }
  int status = kExitOk;
  for (const std::string& path : files) {
    std::filebuf file;
    std::streambuf* in = openInput(path, file);
    if (!in) {
      fprintf(stderr, "qpk: %s: cannot open\n", path.c_str());
      status = kExitFailed;
      break;
    }
    std::map<std::string, bool> installed;
    std::string error;
    int count = installPackageStream(rootFd, *in, flags, installed, error);
    if (verbose) {
      for (const auto& name : installed) printf("installed %s\n", name.first.c_str());
    }
    if (count < 0) {
      fprintf(stderr, "qpk: %s: %s\n", path.c_str(), error.c_str());
      status = kExitFailed;
      break;
    }
  }
  close(rootFd);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usageError("no command");
  std::string command = argv[1];
  int rest = argc - 2;
  char** args = argv + 2;
  if (command == "--help" || command == "-h" || command == "help") {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command == "build") return commandBuild(rest, args);
  if (command == "info") return commandInfo(rest, args);
  if (command == "list") {
    if (rest != 1) return usageError("list takes one FILE");
    return scanFile(args[0], true, false);
  }
  if (command == "check") {
    if (rest == 0) return usageError("check needs a FILE");
    int status = kExitOk;
    for (int i = 0; i < rest; ++i) {
      if (scanFile(args[i], false, true) != kExitOk) status = kExitFailed;
    }
    return status;
  }
  if (command == "install") return commandInstall(rest, args);
  return usageError(("unknown command " + command).c_str());
}

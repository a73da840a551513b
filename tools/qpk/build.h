// qpk build: a reproducible package from a directory tree.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "libinstall.h"

struct BuildOptions {
  std::string sourceDir;
  std::string outputPath;
  // Metadata given on the command line; it overrides the tree's .PKGINFO field by field.
  std::string name, version, description, arch;
  bool haveDescription = false;
  std::vector<std::string> depends;
  bool keepOwner = false;   // the files' own numeric owners instead of 0:0
  bool fixedOwner = false;  // uid/gid below for every entry
  uint32_t uid = 0, gid = 0;
  int64_t mtime = 0;  // every entry's time
  int level = 6;      // zlib compression level (gzip's default)
};

// Builds the package; false after printing the reason on standard error.
bool buildPackage(const BuildOptions& options);

// libinstall: the package library. Reads .qpk package files (one gzip member holding one ustar
// archive whose first entry is .PKGINFO), orders packages by their dependencies and installs
// package streams into the current root. The installer uses only the calls declared here.
#pragma once

#include <istream>
#include <list>
#include <map>
#include <string>
#include <vector>

// One dependency: the name of the package required.
class PackageDep {
 public:
  PackageDep() = default;
  explicit PackageDep(const std::string& packageName) : name(packageName) {}
  virtual ~PackageDep() = default;

  std::string name;
};

// A package's metadata, as its .PKGINFO states it.
class PackageInfo {
 public:
  virtual ~PackageInfo() = default;

  // "name-version".
  std::string getFullName() const;
  // True when this package names `other` among its dependencies.
  bool requires(PackageInfo const& other) const;

  std::string name;
  std::string version;
  std::string description;
  std::string arch;
  std::vector<PackageDep> depends;
};

// A PackageInfo read from a package file, with that file's path.
class PackageFile : public PackageInfo {
 public:
  ~PackageFile() override = default;

  // Reads the metadata of the package file at `filePath`, no further than its .PKGINFO.
  // True when the file is a readable package; `path` is set to `filePath` in any case.
  bool readFrom(std::string const& filePath);

  std::string path;
};

// The repository of the running root: one per process, owned by the library.
class Repo {
 public:
  virtual ~Repo() = default;

  static Repo* getRepo();

  // Prepares the repository (its records under /var/pdb). Returns true when it is usable.
  bool init(bool readOnly);

  // Reorders `packages` in place into install order: every package after those it depends on,
  // the given order kept where dependencies allow, cycles broken deterministically.
  void sortPackages(std::list<PackageInfo*>& packages, bool reverse, bool byDependencies);

  // Installs every package of the stream `in` (any number of .qpk files back to back) into the
  // current root. Returns the number of packages installed, or -1 when any package failed.
  // `installed` receives each package name that was installed, mapped to true.
  int installFrom(std::istream& in, unsigned int flags, std::map<std::string, bool>& installed);
};

// CRC-32 (the common polynomial) update: callers start at 0xFFFFFFFF and invert the result.
unsigned int update_crc(unsigned int crc, unsigned char* data, unsigned int length);

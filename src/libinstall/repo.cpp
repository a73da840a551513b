// The repository of the running root: records under /var/pdb and installation of package
// streams into "/" (the installer runs it confined to the new root).
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "qpk_format.h"

Repo* Repo::getRepo() {
  static Repo repo;
  return &repo;
}

bool Repo::init(bool readOnly) {
  int rootFd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) {
    perror("libinstall: cannot open /");
    return false;
  }
  bool ok = preparePackageDb(rootFd, readOnly);
  close(rootFd);
  if (!ok) fprintf(stderr, "libinstall: the package records /%s are not usable\n", kPackageDbDir);
  return ok;
}

int Repo::installFrom(std::istream& in, unsigned int flags,
                      std::map<std::string, bool>& installed) {
  std::streambuf* source = in.rdbuf();
  if (!source) {
    fprintf(stderr, "libinstall: no input stream\n");
    return -1;
  }
  int rootFd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) {
    perror("libinstall: cannot open /");
    return -1;
  }
  std::string error;
  int count = installPackageStream(rootFd, *source, flags, installed, error);
  close(rootFd);
  if (count < 0) {
    fprintf(stderr, "libinstall: %s\n", error.c_str());
    fflush(stderr);
  }
  return count;
}

// The package catalogue: reads every .qpk file of the medium's package directory through the
// package library, orders the packages for the menu (by name, the front packages first) and
// hands the selection to the library to be put into install order.
#include "packages/catalogue.h"

#include <dirent.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace {

constexpr char kPackageSuffix[] = ".qpk";
constexpr size_t kPackageSuffixLength = sizeof kPackageSuffix - 1;

// std::string compares as unsigned bytes, which is the order the menu promises.
bool nameBefore(const SelectablePackage* a, const SelectablePackage* b) {
  return a->name < b->name;
}

// Each front package goes to its own table position. When an earlier one is missing and the
// medium has fewer packages than that position, it goes last instead of past the end.
void moveFrontPackages(PackageMenu& menu) {
  for (int position = 0; position < kFrontPackageCount; ++position) {
    int found = findPackage(menu, frontPackages[position]);
    if (found < 0) continue;
    SelectablePackage* package = menu.entries[found];
    menu.entries.erase(menu.entries.begin() + found);
    size_t target = std::min(static_cast<size_t>(position), menu.entries.size());
    menu.entries.insert(menu.entries.begin() + target, package);
  }
}

}  // namespace

const char* const frontPackages[kFrontPackageCount] = {"system", "ppp", "dhcp"};

bool isPackageFileName(const char* name) {
  size_t length = strlen(name);
  return length > kPackageSuffixLength - 1 &&
         memcmp(name + length - kPackageSuffixLength, kPackageSuffix, kPackageSuffixLength) == 0;
}

void putInDisplayOrder(PackageMenu& menu) {
  std::stable_sort(menu.entries.begin(), menu.entries.end(), nameBefore);
  moveFrontPackages(menu);
}

SelectablePackage::~SelectablePackage() = default;

bool scanPackages(PackageMenu& menu, const char* directory) {
  DIR* dir = opendir(directory);
  if (!dir) {
    puts("FATAL ERROR: No packages found");
    return false;
  }
  while (dirent* entry = readdir(dir)) {
    if (!isPackageFileName(entry->d_name)) continue;
    SelectablePackage* package = new SelectablePackage;
    menu.entries.push_back(package);
    std::string path = std::string(directory) + "/" + entry->d_name;
    if (!package->readFrom(path)) {
      // A file the library cannot read has no package name; its file name then tells the
      // operator which one is bad.
      std::string shown = package->name.empty() ? path : package->getFullName();
      printf("FATAL ERROR: Bad package %s\n", shown.c_str());
      closedir(dir);
      return false;
    }
  }
  closedir(dir);
  if (menu.entries.empty()) {
    puts("FATAL ERROR: No packages found");
    return false;
  }
  // A "defpacks" defaults file of the medium is not read: the menu starts from the minimum
  // selection and the unattended flow selects everything, so its marks could never reach an
  // installation.
  // Stable, so that two files with one package name keep their directory order.
  putInDisplayOrder(menu);
  return true;
}

int findPackage(PackageMenu& menu, const std::string& name) {
  for (size_t i = 0; i < menu.entries.size(); ++i) {
    if (menu.entries[i]->name == name) return static_cast<int>(i);
  }
  return -1;
}

void collectSelected(PackageMenu& menu, std::list<PackageFile*>& out) {
  std::list<PackageInfo*> chosen;
  for (SelectablePackage* package : menu.entries) {
    if (package->selected) chosen.push_back(package);
  }
  Repo* repo = Repo::getRepo();
  if (repo) repo->sortPackages(chosen, false, true);
  out.clear();
  // Every record in the list is one of our SelectablePackage entries, hence a PackageFile.
  for (PackageInfo* package : chosen) out.push_back(static_cast<PackageFile*>(package));
}

// The package catalogue of an install medium: the .qpk files of one directory read through the
// package library, ordered for the selection menu, and the chosen ones put into install order.
// Package records are made once per medium and never freed: they live until the reboot.
#pragma once

#include <stdint.h>

#include <list>
#include <string>
#include <vector>

#include "libinstall.h"

// A package file that the operator can choose.
class SelectablePackage : public PackageFile {
 public:
  ~SelectablePackage() override;

  bool selected = false;  // chosen for installation
};

// The packages of one medium in menu order, with the menu's position and its last outcome.
struct PackageMenu {
  std::vector<SelectablePackage*> entries;
  uint32_t cursor = 0;           // index of the current entry, kept between openings
  uint32_t rowsPerColumn = 0;    // set by the menu each time it opens
  bool remoteRequested = false;  // the menu was left to install a remote router
};

constexpr int kFrontPackageCount = 3;
// The packages shown first, each at the menu position equal to its place here.
extern const char* const frontPackages[kFrontPackageCount];

// Fills `menu.entries` (expected empty) from the .qpk files of `directory`. Returns false after
// printing "FATAL ERROR: ..." when the directory has no package or a package cannot be read;
// the scan stops at the first unreadable package.
bool scanPackages(PackageMenu& menu, const char* directory);
// True for a name ending in ".qpk" (lower case), the files a package directory is read for.
bool isPackageFileName(const char* name);
// Sorts the entries by name as bytes, then moves the front packages to their places.
void putInDisplayOrder(PackageMenu& menu);
// Index of the first entry named exactly `name`, or -1.
int findPackage(PackageMenu& menu, const std::string& name);
// Replaces `out` by the selected entries in the library's install order. The records are
// shared with `menu.entries`, not copied.
void collectSelected(PackageMenu& menu, std::list<PackageFile*>& out);

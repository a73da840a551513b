// Test-only program for the selection menu on a real terminal: makes small .qpk files with the
// tests' package builder, and runs the catalogue and menu on a package directory the way
// the CD-ROM flow does, writing each outcome to a result file for the test script to read.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <list>
#include <string>

#include "packages/catalogue.h"
#include "packages/menu.h"
#include "support/package_builder.h"

namespace {

// make FILE NAME VERSION DESCRIPTION [DEPENDENCY...]
int makePackage(int argc, char** argv) {
  if (argc < 6) return 2;
  TestPackage package;
  package.name = argv[3];
  package.version = argv[4];
  package.description = argv[5];
  package.depends.assign(argv + 6, argv + argc);
  return writeTestPackage(argv[2], package) ? 0 : 1;
}

std::string names(const std::list<PackageFile*>& packages) {
  std::string text;
  for (const PackageFile* package : packages) text += (text.empty() ? "" : ",") + package->name;
  return text;
}

// run DIR RESULT-FILE [OPENINGS [SELECT-ALL-FIRST]]: shows the menu again after each "r", as
// the CD-ROM flow does, at most OPENINGS times.
int runMenu(int argc, char** argv) {
  if (argc < 4) return 2;
  int openings = argc > 4 ? atoi(argv[4]) : 1;
  PackageMenu menu;
  if (!scanPackages(menu, argv[2])) return 3;
  if (argc > 5 && atoi(argv[5]) != 0) selectAll(menu);
  FILE* result = fopen(argv[3], "w");
  if (!result) return 1;
  for (int opening = 1; opening <= openings; ++opening) {
    bool install = runPackageMenu(menu);
    std::list<PackageFile*> chosen;
    collectSelected(menu, chosen);
    fprintf(result, "opening=%d result=%d remote=%d cursor=%u rows=%u install=%s\n", opening,
            install ? 1 : 0, menu.remoteRequested ? 1 : 0, static_cast<unsigned>(menu.cursor),
            static_cast<unsigned>(menu.rowsPerColumn), names(chosen).c_str());
    fflush(result);
    if (!install || !menu.remoteRequested) break;
  }
  fclose(result);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "make") == 0) return makePackage(argc, argv);
  if (argc >= 2 && strcmp(argv[1], "run") == 0) return runMenu(argc, argv);
  fprintf(stderr, "usage: menu_driver make FILE NAME VERSION DESC [DEP...] | run DIR RESULT\n");
  return 2;
}

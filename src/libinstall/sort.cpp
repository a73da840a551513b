// Install order: a stable topological sort that takes, at each step, the earliest package in
// the given order whose dependencies are all placed; a cycle is broken by taking the earliest
// remaining package, so the same input always gives the same order.
#include <algorithm>
#include <unordered_map>
#include <vector>

#include "libinstall.h"

namespace {

void orderByDependencies(std::vector<PackageInfo*>& packages) {
  size_t count = packages.size();
  std::unordered_map<std::string, std::vector<size_t>> byName;
  for (size_t i = 0; i < count; ++i) byName[packages[i]->name].push_back(i);
  // For each package, the packages of the list it waits for.
  std::vector<std::vector<size_t>> needs(count);
  std::vector<size_t> waiting(count, 0);
  std::vector<std::vector<size_t>> neededBy(count);
  for (size_t i = 0; i < count; ++i) {
    for (const PackageDep& dep : packages[i]->depends) {
      auto found = byName.find(dep.name);
      if (found == byName.end()) continue;
      for (size_t j : found->second) {
        if (j == i || std::find(needs[i].begin(), needs[i].end(), j) != needs[i].end()) continue;
        needs[i].push_back(j);
        neededBy[j].push_back(i);
        ++waiting[i];
      }
    }
  }
  std::vector<bool> placed(count, false);
  std::vector<PackageInfo*> order;
  order.reserve(count);
  size_t firstOpen = 0;
  while (order.size() < count) {
    while (placed[firstOpen]) ++firstOpen;
    size_t pick = count;
    for (size_t i = firstOpen; i < count; ++i) {
      if (!placed[i] && waiting[i] == 0) {
        pick = i;
        break;
      }
    }
    if (pick == count) pick = firstOpen;  // only cycles are left: break the earliest
    placed[pick] = true;
    order.push_back(packages[pick]);
    for (size_t k : neededBy[pick]) {
      if (waiting[k] > 0) --waiting[k];
    }
  }
  packages.swap(order);
}

}  // namespace

void Repo::sortPackages(std::list<PackageInfo*>& packages, bool reverse, bool byDependencies) {
  std::vector<PackageInfo*> items(packages.begin(), packages.end());
  if (byDependencies) {
    orderByDependencies(items);
  } else {
    std::stable_sort(items.begin(), items.end(), [](const PackageInfo* a, const PackageInfo* b) {
      return a->getFullName() < b->getFullName();
    });
  }
  if (reverse) std::reverse(items.begin(), items.end());
  packages.assign(items.begin(), items.end());
}

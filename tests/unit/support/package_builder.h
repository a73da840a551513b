// Builds small .qpk packages in memory for tests with the package library's own writer: a
// .PKGINFO and any number of directories and regular files, or written out as a file.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct TestPackage {
  std::string name;
  std::string version = "1.0";
  std::string description;
  std::vector<std::string> depends;
  std::vector<std::string> directories;                    // created in this order
  std::vector<std::pair<std::string, std::string>> files;  // path, content
};

// The package's .qpk bytes; empty when the writer failed.
std::string buildTestPackage(const TestPackage& package);
// Writes the package to `path`. True on success.
bool writeTestPackage(const std::string& path, const TestPackage& package);
// Writes `bytes` to `path` as they are. True on success.
bool writeBytes(const std::string& path, const std::string& bytes);

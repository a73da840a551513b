// Test packages built with the package library's writer, so that tests exercise the real
// package format rather than a copy of it.
#include "support/package_builder.h"

#include "qpk_format.h"
#include "support/scratch_dir.h"

std::string buildTestPackage(const TestPackage& package) {
  PackageInfo info;
  info.name = package.name;
  info.version = package.version;
  info.description = package.description;
  for (const std::string& dependency : package.depends)
    info.depends.push_back(PackageDep(dependency));
  std::string bytes;
  QpkWriter* writer = qpkWriterOpen(qpkWriteToString, &bytes, 6);
  if (!writer) return std::string();
  std::string text = formatPkgInfo(info);
  TarEntry entry;
  entry.path = kPkgInfoName;
  entry.size = text.size();
  bool ok = qpkWriteHeader(writer, entry) && qpkWriteData(writer, text.data(), text.size());
  for (const std::string& directory : package.directories) {
    TarEntry dir;
    dir.path = directory;
    dir.type = kTarDirectory;
    dir.mode = 0755;
    ok = ok && qpkWriteHeader(writer, dir);
  }
  for (const auto& file : package.files) {
    TarEntry regular;
    regular.path = file.first;
    regular.size = file.second.size();
    ok = ok && qpkWriteHeader(writer, regular) &&
         qpkWriteData(writer, file.second.data(), file.second.size());
  }
  if (!qpkWriterClose(writer) || !ok) return std::string();
  return bytes;
}

bool writeBytes(const std::string& path, const std::string& bytes) {
  return writeFile(path, bytes);
}

bool writeTestPackage(const std::string& path, const TestPackage& package) {
  std::string bytes = buildTestPackage(package);
  return !bytes.empty() && writeBytes(path, bytes);
}

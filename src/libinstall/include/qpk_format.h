// The .qpk package format as the package tool and the tests need it beyond libinstall.h: the
// .PKGINFO text, ustar headers, a reproducible package writer, the streaming package reader
// with its per-entry callbacks, and installation into any root directory.
//
// Rules of the format as this library reads it:
// - A package is one gzip member holding one ustar archive; its first entry is the regular file
//   .PKGINFO (entries for the root directory itself, "./", may come before it and are skipped).
//   The archive must end with an end-of-archive block; bytes after it in the member are ignored
//   but still inflated, so the trailer's CRC-32 and length are always verified.
// - A package stream is packages back to back. Zero bytes between or after members are padding.
// - ustar and GNU tar's own header magic are accepted; pax and GNU long-name headers are
//   refused (names must fit ustar's 100 + 155 bytes). Owners are numeric; names are ignored.
// - Installing never follows a symlink on the way to a path, whether the package or anything
//   before it made the symlink, and refuses paths below var/pdb; see PackageSink for the rest.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <streambuf>
#include <string>

#include "libinstall.h"

constexpr size_t kTarBlockSize = 512;
constexpr size_t kMaxPkgInfoSize = 64 * 1024;  // a larger .PKGINFO is refused
constexpr const char* kPkgInfoName = ".PKGINFO";
constexpr const char* kPackageDbDir = "var/pdb";  // relative to the root

// installFrom flags. The installer passes 1: existing files at a package's paths are replaced.
// Without it a package that would replace an existing non-directory fails.
constexpr unsigned int kInstallReplaceFiles = 1;

// Entry types, as ustar typeflags.
constexpr char kTarRegular = '0';
constexpr char kTarHardLink = '1';
constexpr char kTarSymlink = '2';
constexpr char kTarCharDevice = '3';
constexpr char kTarBlockDevice = '4';
constexpr char kTarDirectory = '5';
constexpr char kTarFifo = '6';

// One archive entry. `path` is relative to the root; on reading it is normalised (no "./", no
// empty components, no trailing slash).
struct TarEntry {
  std::string path;
  char type = kTarRegular;
  uint32_t mode = 0644;  // permission bits only (07777)
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint64_t size = 0;  // data bytes; 0 for everything but regular files
  int64_t mtime = 0;
  std::string linkTarget;  // symlink text or hard-link target path
  uint32_t devMajor = 0;
  uint32_t devMinor = 0;
};

// Parses .PKGINFO text into `info`. False with a reason in `error` on malformed text or when
// pkgname or pkgver is missing or unsafe (a name is used as a directory name in the records).
bool parsePkgInfo(const char* text, size_t length, PackageInfo& info, std::string& error);
// The canonical .PKGINFO text of `info`.
std::string formatPkgInfo(const PackageInfo& info);
// True when `name` may be a package name: [A-Za-z0-9@._+-], not starting with '.' or '-'.
bool isValidPackageName(const std::string& name);

// Encodes one ustar header block. False when the path or link target does not fit ustar's
// fields. The path is written as given, unchecked (tests build hostile packages with it).
bool encodeTarHeader(const TarEntry& entry, uint8_t block[kTarBlockSize]);
// Decodes one header block (checksum verified; ustar and GNU tar's magic accepted). The path is
// returned raw, as stored (prefix/name joined). False with a reason in `error`.
bool decodeTarHeader(const uint8_t block[kTarBlockSize], TarEntry& entry, std::string& error);
// True when all 512 bytes are zero (end of archive).
bool isZeroBlock(const uint8_t block[kTarBlockSize]);

// Writes one .qpk (one gzip member holding one ustar archive) through `write`. Opaque: it holds
// the deflate state. Every call returns false once writing failed.
struct QpkWriter;
using QpkWriteFn = bool (*)(void* context, const uint8_t* data, size_t length);
// `level` is a zlib compression level (0-9); null on failure.
QpkWriter* qpkWriterOpen(QpkWriteFn write, void* context, int level);
// Writes an entry's header; a regular file's data must follow with exactly entry.size bytes.
bool qpkWriteHeader(QpkWriter* writer, const TarEntry& entry);
bool qpkWriteData(QpkWriter* writer, const void* data, size_t length);
// Writes raw archive bytes unchecked (tests use it to build broken archives).
bool qpkWriteRaw(QpkWriter* writer, const void* data, size_t length);
// Pads the last entry, writes the end-of-archive blocks and the gzip trailer, and frees the
// writer. With `endBlocks` false the archive ends without them (for tests of broken packages).
bool qpkWriterClose(QpkWriter* writer, bool endBlocks = true);
// Frees a writer without finishing the member.
void qpkWriterDiscard(QpkWriter* writer);
// Ready-made write functions: to a file descriptor (context is an int*) and to a std::string.
bool qpkWriteToFd(void* context, const uint8_t* data, size_t length);
bool qpkWriteToString(void* context, const uint8_t* data, size_t length);

// Receives a package stream entry by entry from readPackageStream. Each call returns false to
// fail the package; it then sets `message` to say why (the reader adds package and path).
class PackageSink {
 public:
  virtual ~PackageSink() = default;
  // After the package's .PKGINFO has been read and parsed.
  virtual bool beginPackage(const PackageInfo& info, const std::string& pkgInfoText) = 0;
  // For each entry after .PKGINFO, already checked: safe relative path, hard link to an earlier
  // regular file of the same package, no entry below a non-directory of the same package.
  virtual bool beginEntry(const TarEntry& entry) = 0;
  // A piece of the current regular file's data.
  virtual bool entryData(const uint8_t* data, size_t length) = 0;
  virtual bool endEntry() = 0;
  // After the member's gzip trailer (CRC-32 and length) has been verified.
  virtual bool commitPackage() = 0;
  // The package failed: undo whatever was staged. Called at most once per package.
  virtual void abortPackage() = 0;

  std::string message;
};

// Reads a package stream (one or more gzip members back to back; zero bytes between or after
// members are padding) until the end of `in`, feeding `sink`. Stops at the first package that
// fails. Returns the number of packages committed, or -1 with a one-line reason in `error`.
int readPackageStream(std::streambuf& in, PackageSink& sink, std::string& error);

// Installs a package stream into the directory `rootFd` (the installer passes "/" from inside
// its confined root). Each package's files are staged under temporary names beside their final
// paths and renamed into place only after its gzip trailer is verified; a failed package leaves
// no temporary or partial file, and directories made for it go again when empty. Installation
// stops at the first package that fails: those before it stay installed and the rest of the
// stream is not read. Owners are applied only when running as root. Records go to
// <root>/var/pdb/<pkgname>/PKGINFO (the package's .PKGINFO) and .../files (one entry path per
// line, directories ending with '/'). Returns the number of packages installed, or -1 with the
// reason in `error` ("<name-version>: '<path>': <why>"); `installed` gets each name installed.
int installPackageStream(int rootFd, std::streambuf& in, unsigned int flags,
                         std::map<std::string, bool>& installed, std::string& error);
// Creates <root>/var/pdb when missing (never through a symlink). True when it is a directory.
bool preparePackageDb(int rootFd, bool readOnly);

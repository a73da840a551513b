// Shared pieces of the package reader: path normalisation, and the decompressed view of one
// member that both the stream reader and readFrom walk block by block.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "gzip_stream.h"

// Turns an archive path into a clean relative path (no "", "." components, no trailing slash).
// False with a reason for absolute paths, "..", control characters or over-long names. An
// empty result means the root directory itself.
bool normalizeEntryPath(const std::string& raw, std::string& clean, std::string& error);

// Decompressed bytes of the current gzip member, served in pieces.
struct MemberReader {
  GzipStream* gz = nullptr;
  uint8_t* buffer = nullptr;  // not owned
  size_t capacity = 0;
  size_t position = 0;
  size_t length = 0;
  bool ended = false;  // the member's trailer has been read and verified
};

// Up to `max` bytes of the member at *data: count > 0, 0 at the member's end, -1 on error.
long memberTake(MemberReader& reader, size_t max, const uint8_t** data, std::string& error);
// Exactly `length` bytes into `out`. False on error or when the member ends first (`error` says).
bool memberRead(MemberReader& reader, uint8_t* out, size_t length, std::string& error);
// Skips `length` bytes; same result as memberRead.
bool memberSkip(MemberReader& reader, uint64_t length, std::string& error);

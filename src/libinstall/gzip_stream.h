// Pulls decompressed bytes out of a stream of gzip members read from a std::streambuf in
// pieces, one member at a time, so that a member's end (trailer verified) is visible to the
// caller. Holds only its fixed buffers, whatever the member sizes.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <zlib.h>

#include <streambuf>
#include <string>

struct GzipStream {
  std::streambuf* source = nullptr;
  z_stream z{};
  bool zReady = false;       // inflateInit2 done
  uint8_t* input = nullptr;  // owned, `inputCapacity` bytes
  size_t inputCapacity = 0;
  bool sourceEnded = false;
  bool inMember = false;      // a member has begun and its trailer has not been read yet
  uint64_t memberOffset = 0;  // where the current member began in the stream
  uint64_t consumed = 0;      // compressed bytes consumed so far
  // An error found while output was still being returned: reported by the next read, so that
  // the caller sees the data before it (and can name the package).
  std::string pendingError;
};

// Prepares `gz` to read `source` with input pieces of `pieceSize` bytes. False when out of memory.
bool gzipOpen(GzipStream& gz, std::streambuf& source, size_t pieceSize);
void gzipClose(GzipStream& gz);

// Moves to the next member. 1: a member begins; 0: the stream ended (only zero bytes were left);
// -1: the next bytes are not a gzip member (`error` says so).
int gzipBeginMember(GzipStream& gz, std::string& error);

// Inflates up to `capacity` bytes of the current member into `out`. Returns the count (> 0), or
// 0 when the member ended with its CRC-32 and length verified, or -1 with `error` set (corrupt
// data, bad trailer, or the stream ended inside the member).
long gzipRead(GzipStream& gz, uint8_t* out, size_t capacity, std::string& error);

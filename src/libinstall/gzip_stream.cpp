// Multi-member gzip reading over a streambuf with zlib, member by member.
#include "gzip_stream.h"

#include <stdlib.h>
#include <string.h>

namespace {

constexpr int kGzipWindowBits = 16 + MAX_WBITS;  // gzip wrapper only, no zlib or raw data

bool fill(GzipStream& gz) {
  if (gz.z.avail_in > 0) return true;
  if (gz.sourceEnded) return false;
  std::streamsize got = gz.source->sgetn(reinterpret_cast<char*>(gz.input),
                                         static_cast<std::streamsize>(gz.inputCapacity));
  if (got <= 0) {
    gz.sourceEnded = true;
    return false;
  }
  gz.z.next_in = gz.input;
  gz.z.avail_in = static_cast<uInt>(got);
  return true;
}

}  // namespace

bool gzipOpen(GzipStream& gz, std::streambuf& source, size_t pieceSize) {
  gz = GzipStream();
  gz.source = &source;
  gz.input = static_cast<uint8_t*>(malloc(pieceSize));
  if (!gz.input) return false;
  gz.inputCapacity = pieceSize;
  if (inflateInit2(&gz.z, kGzipWindowBits) != Z_OK) {
    free(gz.input);
    gz.input = nullptr;
    return false;
  }
  gz.zReady = true;
  return true;
}

void gzipClose(GzipStream& gz) {
  if (gz.zReady) inflateEnd(&gz.z);
  gz.zReady = false;
  free(gz.input);
  gz.input = nullptr;
}

int gzipBeginMember(GzipStream& gz, std::string& error) {
  if (gz.inMember) {
    error = "internal: previous package not finished";
    return -1;
  }
  // Zero bytes between and after members are padding (block devices and floppy sets pad).
  for (;;) {
    if (!fill(gz)) return 0;
    while (gz.z.avail_in > 0 && *gz.z.next_in == 0) {
      ++gz.z.next_in;
      --gz.z.avail_in;
      ++gz.consumed;
    }
    if (gz.z.avail_in > 0) break;
  }
  if (*gz.z.next_in != 0x1f) {
    error = "not a package: the stream holds bytes that are not gzip data";
    return -1;
  }
  if (inflateReset(&gz.z) != Z_OK) {
    error = "internal: inflateReset failed";
    return -1;
  }
  gz.inMember = true;
  gz.memberOffset = gz.consumed;
  return 1;
}

long gzipRead(GzipStream& gz, uint8_t* out, size_t capacity, std::string& error) {
  if (!gz.pendingError.empty()) {
    error = gz.pendingError;
    return -1;
  }
  if (!gz.inMember) return 0;
  if (capacity > 0x7fffffff) capacity = 0x7fffffff;
  gz.z.next_out = out;
  gz.z.avail_out = static_cast<uInt>(capacity);
  for (;;) {
    if (!fill(gz)) {
      error = "truncated package: the stream ends inside a gzip member";
      return -1;
    }
    uInt before = gz.z.avail_in;
    int rc = inflate(&gz.z, Z_NO_FLUSH);
    gz.consumed += before - gz.z.avail_in;
    size_t produced = capacity - gz.z.avail_out;
    if (rc == Z_STREAM_END) {
      // The trailer's CRC-32 and length have been checked by zlib at this point.
      gz.inMember = false;
      return static_cast<long>(produced);
    }
    if (rc == Z_DATA_ERROR) {
      std::string& out = produced > 0 ? gz.pendingError : error;
      const char* why = gz.z.msg ? gz.z.msg : "corrupt data";
      if (strcmp(why, "incorrect data check") == 0) {
        out = "corrupt package: gzip CRC-32 mismatch";
      } else if (strcmp(why, "incorrect length check") == 0) {
        out = "corrupt package: gzip length mismatch";
      } else if (strcmp(why, "incorrect header check") == 0) {
        out = "not a package: bad gzip header";
      } else {
        out = std::string("corrupt package: ") + why;
      }
      return produced > 0 ? static_cast<long>(produced) : -1;
    }
    if (rc == Z_MEM_ERROR || rc == Z_NEED_DICT || rc == Z_STREAM_ERROR) {
      error = "corrupt package: inflate failed";
      return -1;
    }
    if (produced > 0) return static_cast<long>(produced);
    // Z_BUF_ERROR or Z_OK without output: more input is needed.
  }
}

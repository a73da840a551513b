// Writes a .qpk: a ustar archive deflated into one gzip member. The gzip header carries no
// name and no time, so equal input gives equal bytes.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zlib.h>

#include <new>

#include "qpk_format.h"

namespace {

constexpr size_t kDeflateOutSize = 64 * 1024;
constexpr int kGzipWindowBits = 16 + MAX_WBITS;
constexpr int kMemLevel = 8;

}  // namespace

struct QpkWriter {
  z_stream z{};
  QpkWriteFn write = nullptr;
  void* context = nullptr;
  uint64_t archiveBytes = 0;  // uncompressed bytes so far, for block padding
  bool failed = false;
  uint8_t out[kDeflateOutSize];
};

namespace {

bool pump(QpkWriter* w, const void* data, size_t length, int flush) {
  if (w->failed) return false;
  w->z.next_in = static_cast<Bytef*>(const_cast<void*>(data));
  // Feed at most 1 GiB per round so the length fits zlib's uInt on every platform.
  size_t left = length;
  do {
    size_t piece = left > (1u << 30) ? (1u << 30) : left;
    w->z.avail_in = static_cast<uInt>(piece);
    left -= piece;
    int pieceFlush = left == 0 ? flush : Z_NO_FLUSH;
    for (;;) {
      w->z.next_out = w->out;
      w->z.avail_out = sizeof w->out;
      int rc = deflate(&w->z, pieceFlush);
      if (rc == Z_STREAM_ERROR) {
        w->failed = true;
        return false;
      }
      size_t have = sizeof w->out - w->z.avail_out;
      if (have > 0 && !w->write(w->context, w->out, have)) {
        w->failed = true;
        return false;
      }
      if (pieceFlush == Z_FINISH ? rc == Z_STREAM_END : w->z.avail_out != 0) break;
    }
  } while (left > 0);
  w->archiveBytes += length;
  return true;
}

}  // namespace

QpkWriter* qpkWriterOpen(QpkWriteFn write, void* context, int level) {
  QpkWriter* w = new (std::nothrow) QpkWriter();
  if (!w) return nullptr;
  w->write = write;
  w->context = context;
  if (deflateInit2(&w->z, level, Z_DEFLATED, kGzipWindowBits, kMemLevel, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    delete w;
    return nullptr;
  }
  return w;
}

bool qpkWriteRaw(QpkWriter* writer, const void* data, size_t length) {
  return pump(writer, data, length, Z_NO_FLUSH);
}

bool qpkWriteHeader(QpkWriter* writer, const TarEntry& entry) {
  uint8_t zeros[kTarBlockSize] = {};
  size_t partial = static_cast<size_t>(writer->archiveBytes % kTarBlockSize);
  if (partial && !pump(writer, zeros, kTarBlockSize - partial, Z_NO_FLUSH)) return false;
  uint8_t block[kTarBlockSize];
  if (!encodeTarHeader(entry, block)) {
    writer->failed = true;
    return false;
  }
  return pump(writer, block, sizeof block, Z_NO_FLUSH);
}

bool qpkWriteData(QpkWriter* writer, const void* data, size_t length) {
  return pump(writer, data, length, Z_NO_FLUSH);
}

bool qpkWriterClose(QpkWriter* writer, bool endBlocks) {
  uint8_t zeros[2 * kTarBlockSize] = {};
  bool ok = true;
  size_t partial = static_cast<size_t>(writer->archiveBytes % kTarBlockSize);
  if (endBlocks && partial) ok = pump(writer, zeros, kTarBlockSize - partial, Z_NO_FLUSH);
  if (ok) ok = pump(writer, zeros, endBlocks ? sizeof zeros : 0, Z_FINISH);
  deflateEnd(&writer->z);
  delete writer;
  return ok;
}

void qpkWriterDiscard(QpkWriter* writer) {
  if (!writer) return;
  deflateEnd(&writer->z);
  delete writer;
}

bool qpkWriteToFd(void* context, const uint8_t* data, size_t length) {
  int fd = *static_cast<int*>(context);
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool qpkWriteToString(void* context, const uint8_t* data, size_t length) {
  static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(data), length);
  return true;
}

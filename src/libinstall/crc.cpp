// The CRC-32 that floppy sets are written with: zlib's, in the running-value convention the
// installer uses (start at 0xFFFFFFFF, invert at the end).
#include <zlib.h>

#include "libinstall.h"

unsigned int update_crc(unsigned int crc, unsigned char* data, unsigned int length) {
  // zlib answers a null buffer with its initial value; a running value must stay as it is.
  if (!data) return crc;
  // zlib keeps the value inverted between calls; ours is kept raw, so invert on the way in and out.
  return ~static_cast<unsigned int>(crc32(~crc & 0xFFFFFFFFu, data, length)) & 0xFFFFFFFFu;
}

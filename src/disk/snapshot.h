// Keeping the old configuration: a directory tree read into a chain of memory chunks with its
// metadata, and written back after the disk has been rebuilt.
#pragma once

#include <stdint.h>

constexpr uint32_t kSnapshotMagic = 0x5A0937EB;
constexpr uint32_t kSnapshotChunkBytes = 16000;

struct SnapshotChunk {
  uint32_t magic;
  uint32_t capacity;
  uint32_t position;
  SnapshotChunk* next;
  // the data bytes follow the header in the same allocation
};

// A snapshot is referred to by its first chunk.
typedef SnapshotChunk ConfigSnapshot;

// The snapshot of the tree at `path`, or null. The caller owns it.
ConfigSnapshot* takeSnapshot(const char* path);
// Writes every record back and releases the snapshot in any case. False on any failure, and
// for a value without the magic number (which is then left untouched).
bool restoreSnapshot(ConfigSnapshot* snapshot);
void freeSnapshot(ConfigSnapshot* snapshot);

// Keeping the old configuration across a reinstallation: the tree is read into a chain of small
// memory chunks (path, status record, content per entry, in pre-order) and written back to the
// same paths once the new root is mounted. The chunks never leave memory, so the status record
// is the platform's own struct stat, copied whole.
#include "disk/snapshot.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

uint8_t* chunkData(SnapshotChunk* chunk) {
  return reinterpret_cast<uint8_t*>(chunk + 1);
}

uint32_t chunkRoom(const SnapshotChunk* chunk) {
  return chunk->capacity - chunk->position;
}

// The filling end of a chain: `last` is the chunk being filled.
struct SnapshotWriter {
  SnapshotChunk* first;
  SnapshotChunk* last;
};

// The reading end: `chunk` is the chunk being read, null once the chain is used up.
struct SnapshotReader {
  SnapshotChunk* chunk;
};

SnapshotChunk* allocateChunk(uint32_t capacity) {
  void* memory = malloc(sizeof(SnapshotChunk) + capacity);
  if (memory == nullptr) return nullptr;
  SnapshotChunk* chunk = static_cast<SnapshotChunk*>(memory);
  chunk->magic = kSnapshotMagic;
  chunk->capacity = capacity;
  chunk->position = 0;
  chunk->next = nullptr;
  return chunk;
}

void sealChunk(SnapshotChunk* chunk) {
  chunk->capacity = chunk->position;
  chunk->position = 0;
}

// Seals the chunk being filled and continues in a new one of `capacity` bytes.
bool startChunk(SnapshotWriter* writer, uint32_t capacity) {
  SnapshotChunk* chunk = allocateChunk(capacity);
  if (chunk == nullptr) return false;
  sealChunk(writer->last);
  writer->last->next = chunk;
  writer->last = chunk;
  return true;
}

// A text is never split, so a reader can use it where it lies.
bool appendText(SnapshotWriter* writer, const char* text) {
  size_t length = strlen(text) + 1;
  if (length > chunkRoom(writer->last)) {
    if (length > UINT32_MAX || !startChunk(writer, static_cast<uint32_t>(length))) return false;
  }
  memcpy(chunkData(writer->last) + writer->last->position, text, length);
  writer->last->position += static_cast<uint32_t>(length);
  return true;
}

bool appendBlock(SnapshotWriter* writer, const void* data, size_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    if (chunkRoom(writer->last) == 0 && !startChunk(writer, kSnapshotChunkBytes)) return false;
    SnapshotChunk* chunk = writer->last;
    size_t piece = chunkRoom(chunk) < size ? chunkRoom(chunk) : size;
    memcpy(chunkData(chunk) + chunk->position, bytes, piece);
    chunk->position += static_cast<uint32_t>(piece);
    bytes += piece;
    size -= piece;
  }
  return true;
}

// Reads `fd` to its end straight into chunk memory. Returns the byte count, or -1.
int64_t appendFileContent(SnapshotWriter* writer, int fd) {
  int64_t total = 0;
  for (;;) {
    if (chunkRoom(writer->last) == 0 && !startChunk(writer, kSnapshotChunkBytes)) return -1;
    SnapshotChunk* chunk = writer->last;
    ssize_t count = read(fd, chunkData(chunk) + chunk->position, chunkRoom(chunk));
    if (count < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (count == 0) return total;
    chunk->position += static_cast<uint32_t>(count);
    total += count;
  }
}

// Steps over used-up chunks; true when nothing is left to read.
bool atEnd(SnapshotReader* reader) {
  while (reader->chunk != nullptr && reader->chunk->position == reader->chunk->capacity) {
    reader->chunk = reader->chunk->next;
  }
  return reader->chunk == nullptr;
}

// Every chunk is checked on entry: a chain that was freed or overwritten is not followed.
bool readable(SnapshotReader* reader) {
  return !atEnd(reader) && reader->chunk->magic == kSnapshotMagic &&
         reader->chunk->position < reader->chunk->capacity;
}

// The next text, in place inside its chunk; null when the stream ends or the text runs past
// the end of its chunk.
const char* takeText(SnapshotReader* reader) {
  if (!readable(reader)) return nullptr;
  SnapshotChunk* chunk = reader->chunk;
  const char* text = reinterpret_cast<const char*>(chunkData(chunk) + chunk->position);
  uint32_t room = chunkRoom(chunk);
  const void* terminator = memchr(text, '\0', room);
  if (terminator == nullptr) return nullptr;
  chunk->position += static_cast<uint32_t>(static_cast<const char*>(terminator) - text) + 1;
  return text;
}

bool copyOut(SnapshotReader* reader, void* destination, size_t size) {
  uint8_t* bytes = static_cast<uint8_t*>(destination);
  while (size > 0) {
    if (!readable(reader)) return false;
    SnapshotChunk* chunk = reader->chunk;
    size_t piece = chunkRoom(chunk) < size ? chunkRoom(chunk) : size;
    memcpy(bytes, chunkData(chunk) + chunk->position, piece);
    chunk->position += static_cast<uint32_t>(piece);
    bytes += piece;
    size -= piece;
  }
  return true;
}

bool writeOut(SnapshotReader* reader, int fd, uint64_t size) {
  while (size > 0) {
    if (!readable(reader)) return false;
    SnapshotChunk* chunk = reader->chunk;
    size_t piece = chunkRoom(chunk) < size ? chunkRoom(chunk) : static_cast<size_t>(size);
    ssize_t count = write(fd, chunkData(chunk) + chunk->position, piece);
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (count == 0) return false;
    chunk->position += static_cast<uint32_t>(count);
    size -= static_cast<uint64_t>(count);
  }
  return true;
}

bool appendEntry(SnapshotWriter* writer, char* path, size_t length);

bool appendRegularFile(SnapshotWriter* writer, const char* path, const struct stat& status) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  bool kept = appendText(writer, path) && appendBlock(writer, &status, sizeof status);
  if (kept) {
    int64_t count = appendFileContent(writer, fd);
    kept = count >= 0 && count == static_cast<int64_t>(status.st_size);
  }
  (void)close(fd);
  return kept;
}

// `path` is a buffer of PATH_MAX bytes holding `length` characters; members are built in it
// and cut off again, so the depth of the tree costs no memory beyond the walk itself.
bool appendDirectory(SnapshotWriter* writer, char* path, size_t length, const struct stat& status) {
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* listing = fdopendir(fd);
  if (listing == nullptr) {
    (void)close(fd);
    return false;
  }
  bool kept = appendText(writer, path) && appendBlock(writer, &status, sizeof status);
  while (kept) {
    errno = 0;
    struct dirent* member = readdir(listing);
    if (member == nullptr) {
      kept = errno == 0;
      break;
    }
    const char* name = member->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    size_t nameLength = strlen(name);
    if (length + 1 + nameLength >= PATH_MAX) {
      kept = false;
      break;
    }
    path[length] = '/';
    memcpy(path + length + 1, name, nameLength + 1);
    kept = appendEntry(writer, path, length + 1 + nameLength);
    path[length] = '\0';
  }
  (void)closedir(listing);
  return kept;
}

bool appendEntry(SnapshotWriter* writer, char* path, size_t length) {
  struct stat status;
  if (lstat(path, &status) != 0) return false;
  if (S_ISREG(status.st_mode)) return appendRegularFile(writer, path, status);
  if (S_ISDIR(status.st_mode)) return appendDirectory(writer, path, length, status);
  return true;  // links, devices, pipes and sockets are not kept
}

void setTimes(const char* path, const struct stat& status) {
  struct timespec times[2];
  times[0] = status.st_atim;
  times[1] = status.st_mtim;
  (void)utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW);
}

bool restoreRegularFile(SnapshotReader* reader, const char* path, const struct stat& status) {
  if (status.st_size < 0) return false;
  // Truncated, so that the file holds exactly the recorded bytes even where one was in the way.
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool written = writeOut(reader, fd, static_cast<uint64_t>(status.st_size));
  if (written) {
    // Owner before mode: a change of owner clears the set-user-ID and set-group-ID bits.
    (void)fchown(fd, status.st_uid, status.st_gid);
    (void)fchmod(fd, status.st_mode & 07777);
  }
  (void)close(fd);
  if (written) setTimes(path, status);
  return written;
}

bool restoreDirectory(const char* path, const struct stat& status) {
  if (mkdir(path, 0700) != 0) return false;
  (void)lchown(path, status.st_uid, status.st_gid);
  (void)chmod(path, status.st_mode & 07777);
  setTimes(path, status);
  return true;
}

bool restoreRecords(SnapshotReader* reader) {
  while (!atEnd(reader)) {
    const char* path = takeText(reader);
    if (path == nullptr) return false;
    struct stat status;
    if (!copyOut(reader, &status, sizeof status)) return false;
    if (S_ISREG(status.st_mode)) {
      if (!restoreRegularFile(reader, path, status)) return false;
    } else if (S_ISDIR(status.st_mode)) {
      if (!restoreDirectory(path, status)) return false;
    } else {
      return false;  // never written by takeSnapshot: the chain is damaged
    }
  }
  return true;
}

}  // namespace

ConfigSnapshot* takeSnapshot(const char* path) {
  size_t length = strlen(path);
  if (length >= PATH_MAX) return nullptr;
  char walked[PATH_MAX];
  memcpy(walked, path, length + 1);
  SnapshotWriter writer;
  writer.first = allocateChunk(kSnapshotChunkBytes);
  if (writer.first == nullptr) return nullptr;
  writer.last = writer.first;
  if (!appendEntry(&writer, walked, length)) {
    freeSnapshot(writer.first);
    return nullptr;
  }
  sealChunk(writer.last);
  return writer.first;
}

bool restoreSnapshot(ConfigSnapshot* snapshot) {
  if (snapshot == nullptr || snapshot->magic != kSnapshotMagic) return false;
  SnapshotReader reader;
  reader.chunk = snapshot;
  bool restored = restoreRecords(&reader);
  freeSnapshot(snapshot);
  return restored;
}

void freeSnapshot(ConfigSnapshot* snapshot) {
  SnapshotChunk* chunk = snapshot;
  // A chunk without the magic number is not ours (or already released): stop there.
  while (chunk != nullptr && chunk->magic == kSnapshotMagic) {
    SnapshotChunk* next = chunk->next;
    chunk->magic = 0;
    free(chunk);
    chunk = next;
  }
}

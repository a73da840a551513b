// The configuration snapshot on real directory trees in a scratch directory: the record stream
// and chunk layout it builds, and the write-back of contents and metadata. Owners other than our
// own can only be set by root; those checks run when the test runs as root.
#include "disk/snapshot.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/scratch_dir.h"
#include "support/staged_root.h"

namespace {

constexpr uid_t kOwner = 1234;
constexpr gid_t kGroup = 5678;

uint8_t* dataOf(SnapshotChunk* chunk) {
  return reinterpret_cast<uint8_t*>(chunk + 1);
}

std::vector<SnapshotChunk*> chunksOf(SnapshotChunk* first) {
  std::vector<SnapshotChunk*> chunks;
  for (SnapshotChunk* chunk = first; chunk != nullptr; chunk = chunk->next) chunks.push_back(chunk);
  return chunks;
}

// The names in directory `path`, sorted, one a line.
std::string entries(const std::string& path) {
  return hostCommandOutput("ls -A '" + path + "'");
}

class SnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(scratch.path().empty()); }

  // Gives the entry a foreign owner (when we may) and the times `atime` and `mtime` with
  // distinct nanoseconds.
  void giveAway(const std::string& path, time_t atime, time_t mtime) {
    ASSERT_TRUE(!root_ || lchown(path.c_str(), kOwner, kGroup) == 0);
    struct timespec times[2] = {{atime, 123456789}, {mtime, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }

  // What giveAway and the mode made of `path`, after the write-back.
  void expectMetadata(const std::string& path, mode_t mode, time_t atime, time_t mtime) {
    SCOPED_TRACE(path);
    struct stat status;
    ASSERT_EQ(lstat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, mode);
    EXPECT_EQ(status.st_uid, root_ ? kOwner : geteuid());
    EXPECT_EQ(status.st_gid, root_ ? kGroup : getegid());
    EXPECT_EQ(status.st_atim.tv_sec, atime);
    EXPECT_EQ(status.st_mtim.tv_sec, mtime);
    EXPECT_TRUE(!S_ISREG(status.st_mode) || status.st_atim.tv_nsec == 123456789);
    EXPECT_EQ(status.st_mtim.tv_nsec, 987654321);
  }

  // Takes the snapshot, then the tree away so that the write-back finds the place empty, as
  // on a new disk.
  ConfigSnapshot* takeAndRemove() {
    ConfigSnapshot* snapshot = takeSnapshot(store_.c_str());
    EXPECT_TRUE(snapshot && removeTree(store_));
    return snapshot;
  }

  static bool exists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
  }

  ScratchDir scratch;
  const std::string store_ = scratch.file("store");
  const bool root_ = geteuid() == 0;
};

TEST_F(SnapshotTest, emptyTreeIsOneRecordAndRestoresWithModeOwnerAndTimes) {
  ASSERT_EQ(mkdir(store_.c_str(), 0700), 0);
  ASSERT_EQ(chmod(store_.c_str(), 0751), 0);
  giveAway(store_, 1000000000, 1100000000);
  ConfigSnapshot* snapshot = takeAndRemove();
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(snapshot->capacity, store_.size() + 1 + sizeof(struct stat)) << "one record";
  ASSERT_TRUE(restoreSnapshot(snapshot));
  expectMetadata(store_, 0751, 1000000000, 1100000000);
  EXPECT_EQ(entries(store_), "");
}

// Nested directories come back file by file; symbolic links and other special files are
// neither kept nor followed.
TEST_F(SnapshotTest, nestedTreeRestoresEveryFileAndLeavesLinksOut) {
  for (const char* dir : {"", "/etc", "/etc/net", "/empty-dir"}) {
    ASSERT_EQ(mkdir((store_ + dir).c_str(), 0755), 0);
  }
  const char* const files[][2] = {
      {"/etc/hosts", "127.0.0.1 localhost\n"}, {"/etc/net/eth0", "dhcp\n"}, {"/version", "3\n"}};
  for (const auto& file : files) ASSERT_TRUE(writeFile(store_ + file[0], file[1], 0600));
  ASSERT_EQ(mkdir(scratch.file("elsewhere").c_str(), 0755), 0);
  ASSERT_TRUE(writeFile(scratch.file("elsewhere/secret"), "not part of the configuration"));
  ASSERT_EQ(symlink("../elsewhere/secret", (store_ + "/to-file").c_str()), 0);
  ASSERT_EQ(symlink("../elsewhere", (store_ + "/etc/to-dir").c_str()), 0);
  ASSERT_EQ(mkfifo((store_ + "/pipe").c_str(), 0600), 0);

  ASSERT_TRUE(restoreSnapshot(takeAndRemove()));
  for (const auto& file : files) EXPECT_EQ(readFile(store_ + file[0]), file[1]);
  EXPECT_EQ(entries(store_), "empty-dir\netc\nversion\n");
  EXPECT_EQ(entries(store_ + "/etc"), "hosts\nnet\n");
  EXPECT_EQ(readFile(scratch.file("elsewhere/secret")), "not part of the configuration");
}

TEST_F(SnapshotTest, fileOfFortyThousandBytesSpansChunksAndRestoresExactly) {
  ASSERT_EQ(mkdir(store_.c_str(), 0755), 0);
  std::string content(40000, '\0');
  uint32_t seed = 12345;
  for (char& byte : content) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<char>(seed >> 16);
  }
  std::string file = store_ + "/big.cfg";
  ASSERT_TRUE(writeFile(file, content, 0640));
  giveAway(file, 1200000000, 1300000000);

  ConfigSnapshot* snapshot = takeAndRemove();
  ASSERT_NE(snapshot, nullptr);
  std::vector<SnapshotChunk*> chunks = chunksOf(snapshot);
  EXPECT_GE(chunks.size(), 3u);
  for (SnapshotChunk* chunk : chunks) {
    EXPECT_EQ(chunk->magic, kSnapshotMagic);
    EXPECT_EQ(chunk->position, 0u);
    EXPECT_LE(chunk->capacity, kSnapshotChunkBytes);
  }
  ASSERT_TRUE(restoreSnapshot(snapshot));
  expectMetadata(file, 0640, 1200000000, 1300000000);
  EXPECT_TRUE(readFile(file) == content);
}

// Changing a file's owner clears its set-user-ID bit, so the write-back must set the owner
// first; an empty file must still be created.
TEST_F(SnapshotTest, emptySetUserIdFileRestoresWithItsMetadata) {
  ASSERT_EQ(mkdir(store_.c_str(), 0755), 0);
  std::string file = store_ + "/empty";
  ASSERT_TRUE(writeFile(file, ""));
  giveAway(file, 1400000000, 1500000000);
  ASSERT_EQ(chmod(file.c_str(), 04705), 0);
  ASSERT_TRUE(restoreSnapshot(takeAndRemove()));
  expectMetadata(file, 04705, 1400000000, 1500000000);
  EXPECT_EQ(readFile(file), "");
}

// Two files of equal size, so that whichever the listing returns first, the second one's path
// (same length) no longer fits behind the first one's content by exactly one byte.
TEST_F(SnapshotTest, pathThatDoesNotFitStartsChunkOfItsOwnLength) {
  ASSERT_EQ(mkdir(store_.c_str(), 0755), 0);
  const size_t statBytes = sizeof(struct stat);
  const size_t pathBytes = (store_ + "/f1").size() + 1;
  const size_t used = store_.size() + 1 + statBytes + pathBytes + statBytes;
  const size_t contentBytes = kSnapshotChunkBytes - used - (pathBytes - 1);
  ASSERT_TRUE(writeFile(store_ + "/f1", std::string(contentBytes, '1')));
  ASSERT_TRUE(writeFile(store_ + "/f2", std::string(contentBytes, '2')));

  ConfigSnapshot* snapshot = takeAndRemove();
  ASSERT_NE(snapshot, nullptr);
  std::vector<SnapshotChunk*> chunks = chunksOf(snapshot);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0]->capacity, kSnapshotChunkBytes - (pathBytes - 1));
  EXPECT_EQ(chunks[1]->capacity, pathBytes);
  std::string second(reinterpret_cast<const char*>(dataOf(chunks[1])), pathBytes);
  EXPECT_TRUE(second == store_ + "/f1" + '\0' || second == store_ + "/f2" + '\0') << second;
  EXPECT_EQ(chunks[2]->capacity, statBytes + contentBytes);
  struct stat status;
  memcpy(&status, dataOf(chunks[2]), sizeof status);
  EXPECT_EQ(static_cast<size_t>(status.st_size), contentBytes);
  ASSERT_TRUE(restoreSnapshot(snapshot));
  EXPECT_EQ(readFile(store_ + "/f1"), std::string(contentBytes, '1'));
  EXPECT_EQ(readFile(store_ + "/f2"), std::string(contentBytes, '2'));
}

TEST_F(SnapshotTest, missingOrUnreadableTreeYieldsNoSnapshot) {
  EXPECT_EQ(takeSnapshot(store_.c_str()), nullptr);
  if (root_) return;  // root reads files of any mode
  ASSERT_EQ(mkdir(store_.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((store_ + "/deep").c_str(), 0755), 0);
  ASSERT_TRUE(writeFile(store_ + "/deep/locked", "x", 0000));
  EXPECT_EQ(takeSnapshot(store_.c_str()), nullptr);
}

TEST_F(SnapshotTest, restoreOntoAnExistingDirectoryFailsButRewritesAFileExactly) {
  ASSERT_EQ(mkdir(store_.c_str(), 0755), 0);
  ASSERT_TRUE(writeFile(store_ + "/a", "a"));
  ConfigSnapshot* snapshot = takeSnapshot(store_.c_str());
  ASSERT_NE(snapshot, nullptr);
  ASSERT_EQ(unlink((store_ + "/a").c_str()), 0);
  EXPECT_FALSE(restoreSnapshot(snapshot));
  EXPECT_FALSE(exists(store_ + "/a"));
  // A tree that is a single file, restored over a longer one, holds only the recorded bytes.
  std::string file = scratch.file("single");
  ASSERT_TRUE(writeFile(file, "short"));
  snapshot = takeSnapshot(file.c_str());
  ASSERT_NE(snapshot, nullptr);
  ASSERT_TRUE(writeFile(file, "a much longer old content"));
  ASSERT_TRUE(restoreSnapshot(snapshot));
  EXPECT_EQ(readFile(file), "short");
}

TEST_F(SnapshotTest, damagedValuesAreRefused) {
  ASSERT_EQ(mkdir(store_.c_str(), 0755), 0);
  ASSERT_TRUE(writeFile(store_ + "/a", std::string(100, 'a')));
  ConfigSnapshot* snapshot = takeAndRemove();
  ASSERT_NE(snapshot, nullptr);
  ASSERT_EQ(snapshot->next, nullptr);

  // Without the magic: refused and left exactly as it was.
  SnapshotChunk before = *snapshot;
  snapshot->magic = 0x12345678;
  EXPECT_FALSE(restoreSnapshot(snapshot));
  EXPECT_FALSE(restoreSnapshot(nullptr));
  EXPECT_EQ(snapshot->magic, 0x12345678u);
  EXPECT_EQ(snapshot->capacity, before.capacity);
  EXPECT_EQ(snapshot->position, before.position);
  EXPECT_EQ(snapshot->next, before.next);
  EXPECT_FALSE(exists(store_));

  // A stream that ends inside a file's content: the write-back stops, keeping what it wrote.
  snapshot->magic = kSnapshotMagic;
  snapshot->capacity -= 10;
  EXPECT_FALSE(restoreSnapshot(snapshot));
  EXPECT_TRUE(exists(store_));
}

}  // namespace

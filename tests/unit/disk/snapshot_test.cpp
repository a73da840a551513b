// The configuration snapshot on real directory trees in a scratch directory: the chunk layout it
// builds, and the write-back of contents and metadata (owners other than our own only as root).
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

std::vector<SnapshotChunk*> chunksOf(SnapshotChunk* first) {
  std::vector<SnapshotChunk*> chunks;
  for (SnapshotChunk* chunk = first; chunk != nullptr; chunk = chunk->next) chunks.push_back(chunk);
  return chunks;
}

class SnapshotTest : public ::testing::Test {
 protected:
  // Gives the entry mode `mode`, a foreign owner (when we may) and times with distinct
  // nanoseconds.
  void giveAway(const std::string& path, mode_t mode, time_t atime, time_t mtime) {
    ASSERT_TRUE(!root_ || lchown(path.c_str(), 1234, 5678) == 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);  // after chown, which clears set-user-id
    struct timespec times[2] = {{atime, 123456789}, {mtime, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }

  void expectMetadata(const std::string& path, mode_t mode, time_t atime, time_t mtime) {
    SCOPED_TRACE(path);
    struct stat status;
    ASSERT_EQ(lstat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, mode);
    EXPECT_EQ(status.st_uid, root_ ? 1234 : geteuid());
    EXPECT_EQ(status.st_gid, root_ ? 5678 : getegid());
    EXPECT_EQ(status.st_atim.tv_sec, atime);
    EXPECT_EQ(status.st_mtim.tv_sec, mtime);
    EXPECT_TRUE(!S_ISREG(status.st_mode) || status.st_atim.tv_nsec == 123456789);
    EXPECT_EQ(status.st_mtim.tv_nsec, 987654321);
  }

  // Takes the snapshot, then the tree away, so that the write-back finds the place empty as on
  // a new disk.
  ConfigSnapshot* takeAndRemove() {
    ConfigSnapshot* snapshot = takeSnapshot(store_.c_str());
    EXPECT_TRUE(snapshot && removeTree(store_));
    return snapshot;
  }

  ScratchDir scratch;
  const std::string store_ = scratch.file("store");
  const bool root_ = geteuid() == 0;
};

// Nested directories and files come back with their modes, owners and times, a 40,000-byte
// file across chunks, an empty set-user-id file too; links and other special files are
// neither kept nor followed.
TEST_F(SnapshotTest, treeRestoresWithItsMetadataAndLeavesSpecialFilesOut) {
  for (const char* dir : {"", "/etc", "/etc/net", "/empty-dir"}) {
    ASSERT_EQ(mkdir((store_ + dir).c_str(), 0755), 0);
  }
  std::string big(40000, '\0');
  for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<char>(i * 7 + i / 251);
  ASSERT_TRUE(writeFile(store_ + "/etc/net/eth0", big));
  ASSERT_TRUE(writeFile(store_ + "/etc/hosts", "127.0.0.1 localhost\n"));
  ASSERT_TRUE(writeFile(store_ + "/suid", ""));
  ASSERT_TRUE(writeFile(scratch.file("secret"), "not part of the configuration"));
  ASSERT_EQ(symlink("../secret", (store_ + "/to-file").c_str()), 0);
  ASSERT_EQ(symlink("..", (store_ + "/etc/to-dir").c_str()), 0);
  ASSERT_EQ(mkfifo((store_ + "/pipe").c_str(), 0600), 0);
  giveAway(store_ + "/etc/net/eth0", 0640, 1200000000, 1300000000);
  giveAway(store_ + "/suid", 04705, 1400000000, 1500000000);
  giveAway(store_ + "/empty-dir", 0711, 1000000000, 1100000000);

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
  expectMetadata(store_ + "/etc/net/eth0", 0640, 1200000000, 1300000000);
  expectMetadata(store_ + "/suid", 04705, 1400000000, 1500000000);
  expectMetadata(store_ + "/empty-dir", 0711, 1000000000, 1100000000);
  EXPECT_TRUE(readFile(store_ + "/etc/net/eth0") == big);
  EXPECT_EQ(readFile(store_ + "/etc/hosts"), "127.0.0.1 localhost\n");
  EXPECT_EQ(hostCommandOutput("cd '" + store_ + "' && find . | sort"),
            ".\n./empty-dir\n./etc\n./etc/hosts\n./etc/net\n./etc/net/eth0\n./suid\n");
  EXPECT_EQ(readFile(scratch.file("secret")), "not part of the configuration");
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
  std::string second(reinterpret_cast<const char*>(chunks[1] + 1), pathBytes);
  EXPECT_TRUE(second == store_ + "/f1" + '\0' || second == store_ + "/f2" + '\0') << second;
  EXPECT_EQ(chunks[2]->capacity, statBytes + contentBytes);
  ASSERT_TRUE(restoreSnapshot(snapshot));
  EXPECT_EQ(readFile(store_ + "/f1"), std::string(contentBytes, '1'));
  EXPECT_EQ(readFile(store_ + "/f2"), std::string(contentBytes, '2'));
}

TEST_F(SnapshotTest, missingTreeOrExistingDirectoryFailsAndAFileIsRewrittenExactly) {
  EXPECT_EQ(takeSnapshot(store_.c_str()), nullptr);
  ASSERT_EQ(mkdir(store_.c_str(), 0755), 0);
  ASSERT_TRUE(writeFile(store_ + "/a", "a"));
  ConfigSnapshot* snapshot = takeSnapshot(store_.c_str());
  ASSERT_NE(snapshot, nullptr);
  ASSERT_EQ(unlink((store_ + "/a").c_str()), 0);
  EXPECT_FALSE(restoreSnapshot(snapshot));
  EXPECT_EQ(readFile(store_ + "/a"), "<missing>");
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
  before.magic = 0x12345678;
  EXPECT_EQ(memcmp(snapshot, &before, sizeof before), 0);
  EXPECT_EQ(readFile(store_ + "/a"), "<missing>");
  // A stream that ends inside a file's content: the write-back stops, keeping what it wrote.
  snapshot->magic = kSnapshotMagic;
  snapshot->capacity -= 10;
  EXPECT_FALSE(restoreSnapshot(snapshot));
  EXPECT_EQ(access(store_.c_str(), F_OK), 0);
}

}  // namespace

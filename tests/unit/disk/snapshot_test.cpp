// The configuration snapshot on real directory trees in a scratch directory: the record stream
// and chunk layout it builds, and the write-back of contents and metadata. Owners other than our
// own can only be set by root; those checks run when the test runs as root.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "disk/snapshot.h"

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

// Reads the records of a sealed chain independently of the code under test: the paths in
// stream order, with the content of each regular file.
struct Record {
  std::string path;
  struct stat status;
  std::string content;
};

std::vector<Record> recordsOf(SnapshotChunk* first) {
  std::string stream;
  for (SnapshotChunk* chunk : chunksOf(first)) {
    stream.append(reinterpret_cast<const char*>(dataOf(chunk)) + chunk->position,
                  chunk->capacity - chunk->position);
  }
  std::vector<Record> records;
  size_t at = 0;
  while (at < stream.size()) {
    Record record;
    size_t end = stream.find('\0', at);
    if (end == std::string::npos || end + 1 + sizeof(struct stat) > stream.size()) break;
    record.path = stream.substr(at, end - at);
    memcpy(&record.status, stream.data() + end + 1, sizeof(struct stat));
    at = end + 1 + sizeof(struct stat);
    if (S_ISREG(record.status.st_mode)) {
      record.content = stream.substr(at, static_cast<size_t>(record.status.st_size));
      at += record.content.size();
    }
    records.push_back(record);
  }
  return records;
}

class SnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/snapshot_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base_ = pattern;
    store_ = base_ + "/store";
    root_ = geteuid() == 0;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + base_ + "'";
    (void)system(command.c_str());
  }

  static void writeFile(const std::string& path, const std::string& content, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ASSERT_EQ(fchmod(fd, mode), 0);
    close(fd);
  }

  static std::string readFile(const std::string& path) {
    std::string content;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return "<missing>";
    char buffer[4096];
    ssize_t count;
    while ((count = read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, count);
    close(fd);
    return content;
  }

  static void setTimes(const std::string& path, time_t atime, long atimeNs, time_t mtime,
                       long mtimeNs) {
    struct timespec times[2] = {{atime, atimeNs}, {mtime, mtimeNs}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }

  // Gives the entry a foreign owner when we may; expectedOwner/expectedGroup say what to expect.
  void giveAway(const std::string& path) {
    if (root_) {
      ASSERT_EQ(lchown(path.c_str(), kOwner, kGroup), 0);
    }
  }
  uid_t expectedOwner() const { return root_ ? kOwner : geteuid(); }
  gid_t expectedGroup() const { return root_ ? kGroup : getegid(); }

  static struct stat statOf(const std::string& path) {
    struct stat status;
    memset(&status, 0, sizeof status);
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status;
  }

  static bool exists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
  }

  // Takes the tree away so that the write-back finds the place empty, as on a new disk.
  void removeStore() {
    std::string command = "rm -rf '" + store_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }

  std::string base_;
  std::string store_;
  bool root_ = false;
};

TEST_F(SnapshotTest, emptyTreeIsOneRecordAndRestoresWithModeOwnerAndTimes) {
  ASSERT_EQ(mkdir(store_.c_str(), 0700), 0);
  ASSERT_EQ(chmod(store_.c_str(), 0751), 0);
  giveAway(store_);
  setTimes(store_, 1000000000, 5, 1100000000, 7);

  ConfigSnapshot* snapshot = takeSnapshot(store_.c_str());
  ASSERT_NE(snapshot, nullptr);
  EXPECT_EQ(snapshot->magic, kSnapshotMagic);
  EXPECT_EQ(snapshot->position, 0u);
  EXPECT_EQ(snapshot->capacity, store_.size() + 1 + sizeof(struct stat));
  EXPECT_EQ(snapshot->next, nullptr);
  std::vector<Record> records = recordsOf(snapshot);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].path, store_);

  removeStore();
  ASSERT_TRUE(restoreSnapshot(snapshot));
  struct stat status = statOf(store_);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0751u);
  EXPECT_EQ(status.st_uid, expectedOwner());
  EXPECT_EQ(status.st_gid, expectedGroup());
  EXPECT_EQ(status.st_atim.tv_sec, 1000000000);
  EXPECT_EQ(status.st_mtim.tv_sec, 1100000000);
  EXPECT_EQ(status.st_mtim.tv_nsec, 7);
  DIR* listing = opendir(store_.c_str());
  ASSERT_NE(listing, nullptr);
  int members = 0;
  while (struct dirent* entry = readdir(listing)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) ++members;
  }
  closedir(listing);
  EXPECT_EQ(members, 0);
}

TEST_F(SnapshotTest, symbolicLinksAreLeftOutAndNotFollowed) {
  ASSERT_EQ(mkdir(store_.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((base_ + "/elsewhere").c_str(), 0755), 0);
  writeFile(base_ + "/elsewhere/secret", "not part of the configuration", 0644);
  writeFile(store_ + "/kept", "kept", 0644);
  ASSERT_EQ(symlink("../elsewhere/secret", (store_ + "/to-file").c_str()), 0);
  ASSERT_EQ(symlink("../elsewhere", (store_ + "/to-dir").c_str()), 0);
  ASSERT_EQ(mkfifo((store_ + "/pipe").c_str(), 0600), 0);

  ConfigSnapshot* snapshot = takeSnapshot(store_.c_str());
  ASSERT_NE(snapshot, nullptr);
  std::vector<Record> records = recordsOf(snapshot);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].path, store_);
  EXPECT_EQ(records[1].path, store_ + "/kept");

  removeStore();
  ASSERT_TRUE(restoreSnapshot(snapshot));
  EXPECT_EQ(readFile(store_ + "/kept"), "kept");
  EXPECT_FALSE(exists(store_ + "/to-file"));
  EXPECT_FALSE(exists(store_ + "/to-dir"));
  EXPECT_FALSE(exists(store_ + "/pipe"));
  EXPECT_EQ(readFile(base_ + "/elsewhere/secret"), "not part of the configuration");
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
  writeFile(file, content, 0640);
  giveAway(file);
  setTimes(file, 1200000000, 123456789, 1300000000, 987654321);

  ConfigSnapshot* snapshot = takeSnapshot(store_.c_str());
  ASSERT_NE(snapshot, nullptr);
  std::vector<SnapshotChunk*> chunks = chunksOf(snapshot);
  EXPECT_GE(chunks.size(), 3u);
  for (SnapshotChunk* chunk : chunks) {
    EXPECT_EQ(chunk->magic, kSnapshotMagic);
    EXPECT_EQ(chunk->position, 0u);
    EXPECT_LE(chunk->capacity, kSnapshotChunkBytes);
  }

  removeStore();
  ASSERT_TRUE(restoreSnapshot(snapshot));
  struct stat status = statOf(file);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  EXPECT_EQ(status.st_uid, expectedOwner());
  EXPECT_EQ(status.st_gid, expectedGroup());
  EXPECT_EQ(status.st_atim.tv_sec, 1200000000);
  EXPECT_EQ(status.st_atim.tv_nsec, 123456789);
  EXPECT_EQ(status.st_mtim.tv_sec, 1300000000);
  EXPECT_EQ(status.st_mtim.tv_nsec, 987654321);
  EXPECT_TRUE(readFile(file) == content);
}

// Two files of equal size, so that whichever the listing returns first, the second one's path
// (same length) no longer fits behind the first one's content by exactly one byte.
TEST_F(SnapshotTest, pathThatDoesNotFitStartsChunkOfItsOwnLength) {
  ASSERT_EQ(mkdir(store_.c_str(), 0755), 0);
  const size_t statBytes = sizeof(struct stat);
  const size_t pathBytes = (store_ + "/f1").size() + 1;
  const size_t used = store_.size() + 1 + statBytes + pathBytes + statBytes;
  const size_t contentBytes = kSnapshotChunkBytes - used - (pathBytes - 1);
  writeFile(store_ + "/f1", std::string(contentBytes, '1'), 0644);
  writeFile(store_ + "/f2", std::string(contentBytes, '2'), 0644);

  ConfigSnapshot* snapshot = takeSnapshot(store_.c_str());
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

  removeStore();
  ASSERT_TRUE(restoreSnapshot(snapshot));
  EXPECT_EQ(readFile(store_ + "/f1"), std::string(contentBytes, '1'));
  EXPECT_EQ(readFile(store_ + "/f2"), std::string(contentBytes, '2'));
}

TEST_F(SnapshotTest, missingTreeYieldsNoSnapshot) {
  EXPECT_EQ(takeSnapshot(store_.c_str()), nullptr);
}

TEST_F(SnapshotTest, unreadableFileFailsTheWholeSnapshot) {
  if (root_) GTEST_SKIP() << "root reads files of any mode";
  ASSERT_EQ(mkdir(store_.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((store_ + "/deep").c_str(), 0755), 0);
  writeFile(store_ + "/deep/locked", "x", 0000);
  EXPECT_EQ(takeSnapshot(store_.c_str()), nullptr);
}

TEST_F(SnapshotTest, restoreOntoExistingTreeFailsAtFirstRecord) {
  ASSERT_EQ(mkdir(store_.c_str(), 0755), 0);
  writeFile(store_ + "/a", "a", 0644);
  ConfigSnapshot* snapshot = takeSnapshot(store_.c_str());
  ASSERT_NE(snapshot, nullptr);
  ASSERT_EQ(unlink((store_ + "/a").c_str()), 0);

  EXPECT_FALSE(restoreSnapshot(snapshot));
  EXPECT_FALSE(exists(store_ + "/a"));
}

TEST_F(SnapshotTest, emptyFileRestoresEmptyWithItsMetadata) {
  ASSERT_EQ(mkdir(store_.c_str(), 0755), 0);
  std::string file = store_ + "/empty";
  writeFile(file, "", 0604);
  giveAway(file);
  setTimes(file, 1400000000, 0, 1500000000, 0);

  ConfigSnapshot* snapshot = takeSnapshot(store_.c_str());
  ASSERT_NE(snapshot, nullptr);
  removeStore();
  ASSERT_TRUE(restoreSnapshot(snapshot));
  struct stat status = statOf(file);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_size, 0);
  EXPECT_EQ(status.st_mode & 07777, 0604u);
  EXPECT_EQ(status.st_uid, expectedOwner());
  EXPECT_EQ(status.st_gid, expectedGroup());
  EXPECT_EQ(status.st_atim.tv_sec, 1400000000);
  EXPECT_EQ(status.st_mtim.tv_sec, 1500000000);
}

TEST_F(SnapshotTest, valueWithoutMagicIsRefusedAndLeftAlone) {
  ASSERT_EQ(mkdir(store_.c_str(), 0755), 0);
  writeFile(store_ + "/a", "a", 0644);
  ConfigSnapshot* snapshot = takeSnapshot(store_.c_str());
  ASSERT_NE(snapshot, nullptr);
  removeStore();

  SnapshotChunk before = *snapshot;
  snapshot->magic = 0x12345678;
  EXPECT_FALSE(restoreSnapshot(snapshot));
  EXPECT_FALSE(restoreSnapshot(nullptr));
  EXPECT_EQ(snapshot->magic, 0x12345678u);
  EXPECT_EQ(snapshot->capacity, before.capacity);
  EXPECT_EQ(snapshot->position, before.position);
  EXPECT_EQ(snapshot->next, before.next);
  EXPECT_FALSE(exists(store_));

  snapshot->magic = kSnapshotMagic;
  freeSnapshot(snapshot);
}

// A chain that ends inside a file's content is damaged: the write-back stops with false and
// keeps what it wrote before.
TEST_F(SnapshotTest, streamEndingInsideRecordFailsAndKeepsEarlierRecords) {
  ASSERT_EQ(mkdir(store_.c_str(), 0755), 0);
  writeFile(store_ + "/a", std::string(100, 'a'), 0644);
  ConfigSnapshot* snapshot = takeSnapshot(store_.c_str());
  ASSERT_NE(snapshot, nullptr);
  ASSERT_EQ(snapshot->next, nullptr);
  snapshot->capacity -= 10;
  removeStore();

  EXPECT_FALSE(restoreSnapshot(snapshot));
  EXPECT_TRUE(exists(store_));
}

TEST_F(SnapshotTest, nestedTreeIsPreOrderAndRestoresEveryFile) {
  std::map<std::string, std::string> files = {
      {"/etc/hosts", "127.0.0.1 localhost\n"},
      {"/etc/net/eth0", "dhcp\n"},
      {"/etc/net/eth1", "static 10.0.0.1\n"},
      {"/keys/empty", ""},
      {"/version", "3\n"},
  };
  for (const char* dir : {"", "/etc", "/etc/net", "/keys", "/empty-dir"}) {
    ASSERT_EQ(mkdir((store_ + dir).c_str(), 0755), 0);
  }
  for (const auto& file : files) writeFile(store_ + file.first, file.second, 0600);

  ConfigSnapshot* snapshot = takeSnapshot(store_.c_str());
  ASSERT_NE(snapshot, nullptr);
  std::vector<Record> records = recordsOf(snapshot);
  ASSERT_EQ(records.size(), 10u);
  EXPECT_EQ(records[0].path, store_);
  // Pre-order: every record's parent came earlier, and a directory's records are contiguous.
  for (size_t i = 1; i < records.size(); ++i) {
    std::string parent = records[i].path.substr(0, records[i].path.rfind('/'));
    bool parentEarlier = false;
    for (size_t j = 0; j < i; ++j) {
      if (records[j].path == parent) {
        parentEarlier = true;
        for (size_t k = j + 1; k < i; ++k) {
          EXPECT_EQ(records[k].path.compare(0, parent.size() + 1, parent + "/"), 0)
              << records[k].path << " breaks up the subtree of " << parent;
        }
      }
    }
    EXPECT_TRUE(parentEarlier) << records[i].path;
  }
  for (const Record& record : records) {
    std::string relative = record.path.substr(store_.size());
    if (files.count(relative)) {
      EXPECT_EQ(record.content, files[relative]) << relative;
    }
  }

  removeStore();
  ASSERT_TRUE(restoreSnapshot(snapshot));
  for (const auto& file : files) EXPECT_EQ(readFile(store_ + file.first), file.second);
  EXPECT_TRUE(S_ISDIR(statOf(store_ + "/empty-dir").st_mode));
}

// Changing a file's owner clears its set-user-ID bit, so the write-back sets the owner first.
TEST_F(SnapshotTest, setUserIdBitSurvivesTheWriteBack) {
  ASSERT_EQ(mkdir(store_.c_str(), 0755), 0);
  std::string file = store_ + "/helper";
  writeFile(file, "#!/bin/sh\n", 04755);
  giveAway(file);
  ASSERT_EQ(chmod(file.c_str(), 04755), 0);
  ConfigSnapshot* snapshot = takeSnapshot(store_.c_str());
  ASSERT_NE(snapshot, nullptr);
  removeStore();
  ASSERT_TRUE(restoreSnapshot(snapshot));
  EXPECT_EQ(statOf(file).st_mode & 07777, 04755u);
}

// A tree that is a single file restored over a longer one: the result is the recorded bytes,
// not the recorded bytes followed by the tail of the old file.
TEST_F(SnapshotTest, restoredFileHoldsExactlyTheRecordedBytes) {
  std::string file = base_ + "/single";
  writeFile(file, "short", 0644);
  ConfigSnapshot* snapshot = takeSnapshot(file.c_str());
  ASSERT_NE(snapshot, nullptr);
  writeFile(file, "a much longer old content", 0644);
  ASSERT_TRUE(restoreSnapshot(snapshot));
  EXPECT_EQ(readFile(file), "short");
}

}  // namespace

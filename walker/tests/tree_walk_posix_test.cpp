// The POSIX walk on planted trees: links never followed, cycles, each
// directory once, names with spaces and non-ASCII bytes, a file as root,
// the stop answer, unreadable directories.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "walker/tree_walk_posix.h"

namespace {

std::string MakeRoot(const char* name) {
  std::string root = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/qx-walk-" + name + "-" +
                     std::to_string(getpid());
  std::string command = "rm -rf '" + root + "'";
  EXPECT_EQ(0, system(command.c_str()));
  EXPECT_EQ(0, mkdir(root.c_str(), 0755));
  return root;
}

void Put(const std::string& path, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  std::string bytes(size, 'x');
  ASSERT_EQ(static_cast<ssize_t>(size), write(fd, bytes.data(), size));
  close(fd);
}

struct Seen {
  std::vector<std::string> files;
  std::vector<uint64_t> sizes;
  std::vector<std::pair<std::string, int>> unreadable;
  size_t stopAfter;
  int nameReachable;  // every entry could be stat'ed through its directory descriptor
};

int OnFile(void* c, const TreeEntry* e) {
  Seen* s = static_cast<Seen*>(c);
  s->files.push_back(std::string(e->path, e->pathLength));
  s->sizes.push_back(e->size);
  struct stat st;
  if (fstatat(e->directoryFd, e->name, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_ino != e->inode) s->nameReachable = 0;
  if (std::string(e->path, e->directoryLength) + "/" + e->name != e->path) s->nameReachable = 0;
  return !(s->stopAfter && s->files.size() >= s->stopAfter);
}

int OnUnreadable(void* c, const char* path, int error) {
  static_cast<Seen*>(c)->unreadable.push_back({path, error});
  return 1;
}

Seen Walk(const std::vector<std::string>& roots, TreeWalkStats* stats, size_t stopAfter = 0, int cross = 0) {
  Seen seen{{}, {}, {}, stopAfter, 1};
  VisitedDirectories visited;
  InitVisitedDirectories(&visited);
  TreeWalkVisitor visitor{OnFile, OnUnreadable, &seen};
  for (const std::string& root : roots)
    if (WalkTree(root.c_str(), TreeWalkOptions{cross}, &visited, visitor, stats) == kWalkStopped) break;
  FreeVisitedDirectories(&visited);
  std::sort(seen.files.begin(), seen.files.end());
  return seen;
}

TEST(TreeWalkPosix, LinksAreNeverFollowedAndEachDirectoryComesOnce) {
  std::string outside = MakeRoot("outside");
  Put(outside + "/secret.bin", 10);
  std::string root = MakeRoot("volume");
  ASSERT_EQ(0, mkdir((root + "/WINDOWS").c_str(), 0755));
  ASSERT_EQ(0, mkdir((root + "/WINDOWS/system32").c_str(), 0755));
  ASSERT_EQ(0, mkdir((root + "/Documents and Settings").c_str(), 0755));
  Put(root + "/WINDOWS/system32/a.exe", 15872);
  Put(root + "/Documents and Settings/file with spaces.txt", 3);
  Put(root + "/caf\xe9 \xff.bin", 5);  // Latin-1 bytes: not UTF-8
  Put(root + "/empty", 0);
  ASSERT_EQ(0, symlink("..", (root + "/WINDOWS/system32/up").c_str()));        // a cycle
  ASSERT_EQ(0, symlink(outside.c_str(), (root + "/elsewhere").c_str()));       // leaves the volume
  ASSERT_EQ(0, symlink((outside + "/secret.bin").c_str(), (root + "/link.bin").c_str()));
  ASSERT_EQ(0, symlink("missing", (root + "/dangling").c_str()));
  ASSERT_EQ(0, mkfifo((root + "/pipe").c_str(), 0644));

  TreeWalkStats stats{};
  // The root twice and a subdirectory of it: every file still comes once.
  Seen seen = Walk({root, root + "/", root + "/WINDOWS"}, &stats);
  std::vector<std::string> expected = {root + "/Documents and Settings/file with spaces.txt",
                                       root + "/WINDOWS/system32/a.exe", root + "/caf\xe9 \xff.bin",
                                       root + "/empty"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, seen.files);
  EXPECT_TRUE(seen.nameReachable);
  EXPECT_TRUE(seen.unreadable.empty());
  EXPECT_EQ(4u, stats.symbolicLinks);
  EXPECT_EQ(1u, stats.special);
  EXPECT_EQ(4u, stats.directories);
  EXPECT_EQ(2u, stats.repeats);
}

TEST(TreeWalkPosix, RootsThatAreFilesLinksOrMissing) {
  std::string root = MakeRoot("roots");
  Put(root + "/one.bin", 1536);
  ASSERT_EQ(0, symlink((root + "/one.bin").c_str(), (root + "/link").c_str()));
  TreeWalkStats stats{};
  Seen seen = Walk({root + "/one.bin", root + "/link", root + "/missing"}, &stats);
  ASSERT_EQ(1u, seen.files.size());
  EXPECT_EQ(root + "/one.bin", seen.files[0]);
  EXPECT_EQ(1536u, seen.sizes[0]);
  EXPECT_TRUE(seen.nameReachable);
  ASSERT_EQ(2u, seen.unreadable.size());
  EXPECT_EQ(ELOOP, seen.unreadable[0].second);
  EXPECT_EQ(ENOENT, seen.unreadable[1].second);
}

TEST(TreeWalkPosix, StopsWhenTheVisitorSaysSo) {
  std::string root = MakeRoot("stop");
  for (int d = 0; d < 5; ++d) {
    std::string dir = root + "/d" + std::to_string(d);
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    for (int f = 0; f < 10; ++f) Put(dir + "/f" + std::to_string(f), static_cast<size_t>(f));
  }
  TreeWalkStats stats{};
  Seen seen = Walk({root, root}, &stats, 17);
  EXPECT_EQ(17u, seen.files.size());
}

TEST(TreeWalkPosix, UnreadableDirectoryIsReportedAndTheWalkGoesOn) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every directory";
  std::string root = MakeRoot("locked");
  ASSERT_EQ(0, mkdir((root + "/locked").c_str(), 0));
  Put(root + "/open.txt", 1);
  TreeWalkStats stats{};
  Seen seen = Walk({root}, &stats);
  EXPECT_EQ(1u, seen.files.size());
  ASSERT_EQ(1u, seen.unreadable.size());
  EXPECT_EQ(root + "/locked", seen.unreadable[0].first);
  chmod((root + "/locked").c_str(), 0755);
}

TEST(TreeWalkPosix, DeepTreesEndAtTheDepthBoundAndLongPathsAreReported) {
  std::string root = MakeRoot("deep");
  std::string dir = root;
  for (uint32_t i = 0; i < kMaxTreeDepth + 3; ++i) {
    dir += "/d";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
  }
  Put(dir + "/bottom", 1);
  TreeWalkStats stats{};
  Seen seen = Walk({root}, &stats);
  EXPECT_TRUE(seen.files.empty());
  ASSERT_EQ(1u, seen.unreadable.size());
  EXPECT_EQ(ELOOP, seen.unreadable[0].second);

  // 200-byte names: the path outgrows kTreePathCapacity before the depth bound.
  std::string longRoot = MakeRoot("long");
  std::string name(200, 'n');
  int fd = open(longRoot.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < 25; ++i) {
    ASSERT_EQ(0, mkdirat(fd, name.c_str(), 0755));
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
  }
  close(fd);
  TreeWalkStats longStats{};
  Seen longSeen = Walk({longRoot}, &longStats);
  ASSERT_EQ(1u, longSeen.unreadable.size());
  EXPECT_EQ(ENAMETOOLONG, longSeen.unreadable[0].second);
  EXPECT_LT(longSeen.unreadable[0].first.size(), static_cast<size_t>(kTreePathCapacity));
}

}  // namespace

// The POSIX walk on planted trees, with one worker and with many: links
// never followed, cycles, each directory once, names with spaces and
// non-ASCII bytes, a file as root, the stop answer, unreadable directories,
// other file systems, descriptors bounded whatever the depth, callbacks
// never at once, and a tree that changes while many workers walk it.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
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

int OpenDescriptors() {
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  int n = 0;
  while (readdir(d)) ++n;
  closedir(d);
  return n - 3;  // ".", ".." and the listing's own
}

struct Seen {
  std::vector<std::string> files;  // in the order reported
  std::vector<uint64_t> sizes;
  std::vector<std::pair<uint64_t, uint64_t>> ids;  // device, inode
  std::vector<std::pair<std::string, uint32_t>> unreadable;
  size_t stopAfter;
  int nameReachable;  // every entry could be stat'ed through its directory descriptor
  int strict;         // the tree does not change: reachability is checked
  std::atomic<int> inside;
  int overlapped;        // two calls at once
  int callsAfterStop;
  int countDescriptors;  // the most descriptors open during a call
  int mostDescriptors;
};

int OnFile(void* c, const WalkEntry* walkEntry) {
  Seen* s = static_cast<Seen*>(c);
  if (s->inside.fetch_add(1) != 0) s->overlapped = 1;
  if (s->stopAfter && s->files.size() >= s->stopAfter) s->callsAfterStop += 1;
  const TreeEntry* e = static_cast<const TreeEntry*>(walkEntry->native);
  std::string path(e->path, e->pathLength);
  s->files.push_back(path);
  s->sizes.push_back(walkEntry->size);
  s->ids.push_back({e->device, e->inode});
  struct stat st;
  if (s->strict) {
    if (fstatat(e->directoryFd, e->name, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_ino != e->inode)
      s->nameReachable = 0;
    if (std::string(e->path, e->directoryLength) + "/" + e->name != path) s->nameReachable = 0;
  }
  if (std::string(walkEntry->path) != path || walkEntry->name != walkEntry->path + walkEntry->directoryLength ||
      walkEntry->path[walkEntry->directoryLength - 1] != '/' || std::string(walkEntry->name) != e->name ||
      walkEntry->size != e->size)
    s->nameReachable = 0;
  if (s->countDescriptors) s->mostDescriptors = std::max(s->mostDescriptors, OpenDescriptors());
  s->inside.fetch_sub(1);
  return !(s->stopAfter && s->files.size() >= s->stopAfter);
}

int OnUnreadable(void* c, const char* path, uint32_t error) {
  Seen* s = static_cast<Seen*>(c);
  if (s->inside.fetch_add(1) != 0) s->overlapped = 1;
  if (s->stopAfter && s->files.size() >= s->stopAfter) s->callsAfterStop += 1;
  s->unreadable.push_back({path, error});
  s->inside.fetch_sub(1);
  return 1;
}

struct WalkRun {
  uint32_t workers = 1;
  size_t stopAfter = 0;
  int cross = 0;
  int strict = 1;
  int countDescriptors = 0;
};

// Walks the roots in turn, sharing one visited set (`marked`'s when given).
void Walk(const std::vector<std::string>& roots, TreeWalkStats* stats, const WalkRun& run, Seen* seen,
          TreeWalkResult* last = nullptr, VisitedSet* marked = nullptr) {
  seen->stopAfter = run.stopAfter;
  seen->nameReachable = 1;
  seen->strict = run.strict;
  seen->inside = 0;
  seen->overlapped = 0;
  seen->callsAfterStop = 0;
  seen->countDescriptors = run.countDescriptors;
  seen->mostDescriptors = 0;
  VisitedSet visited;
  InitVisitedSet(&visited);
  WalkVisitor visitor{OnFile, OnUnreadable, seen};
  TreeWalkOptions options{run.cross, run.workers};
  TreeWalkResult result = kWalkFinished;
  for (const std::string& root : roots) {
    result = WalkTree(root.c_str(), options, marked ? marked : &visited, visitor, stats);
    if (result == kWalkStopped) break;
  }
  if (last) *last = result;
  FreeVisitedSet(&visited);
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

std::string DirectoryOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

bool IsUnder(const std::string& path, const std::string& directory) {
  return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
         path[directory.size()] == '/';
}

// One worker, several: the same promises.
class TreeWalkPosix : public testing::TestWithParam<uint32_t> {};

INSTANTIATE_TEST_SUITE_P(Workers, TreeWalkPosix, testing::Values(1u, 8u),
                         [](const testing::TestParamInfo<uint32_t>& info) {
                           return "W" + std::to_string(info.param);
                         });

TEST_P(TreeWalkPosix, LinksAreNeverFollowedAndEachDirectoryComesOnce) {
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
  std::vector<std::string> expected = {root + "/Documents and Settings/file with spaces.txt",
                                       root + "/WINDOWS/system32/a.exe", root + "/caf\xe9 \xff.bin",
                                       root + "/empty"};
  std::sort(expected.begin(), expected.end());

  // Directories opened by path from the root, and one name at a time as
  // where the kernel has no openat2: the same answer.
  for (int components = 0; components < 2; ++components) {
    SCOPED_TRACE(components ? "one name at a time" : "openat2");
    UseComponentOpenForTesting(components);
    TreeWalkStats stats{};
    Seen seen;
    // The root twice and a subdirectory of it: every file still comes once.
    Walk({root, root + "/", root + "/WINDOWS"}, &stats, WalkRun{GetParam()}, &seen);
    EXPECT_EQ(expected, Sorted(seen.files));
    EXPECT_TRUE(seen.nameReachable);
    EXPECT_FALSE(seen.overlapped);
    EXPECT_TRUE(seen.unreadable.empty());
    EXPECT_EQ(4u, stats.symbolicLinks);
    EXPECT_EQ(1u, stats.special);
    EXPECT_EQ(4u, stats.directories);
    EXPECT_EQ(2u, stats.repeats);
  }
  UseComponentOpenForTesting(0);
}

TEST_P(TreeWalkPosix, RootsThatAreFilesLinksOrMissing) {
  std::string root = MakeRoot("roots");
  Put(root + "/one.bin", 1536);
  ASSERT_EQ(0, symlink((root + "/one.bin").c_str(), (root + "/link").c_str()));
  TreeWalkStats stats{};
  Seen seen;
  Walk({root + "/one.bin", root + "/link", root + "/missing"}, &stats, WalkRun{GetParam()}, &seen);
  ASSERT_EQ(1u, seen.files.size());
  EXPECT_EQ(root + "/one.bin", seen.files[0]);
  EXPECT_EQ(1536u, seen.sizes[0]);
  EXPECT_TRUE(seen.nameReachable);
  ASSERT_EQ(2u, seen.unreadable.size());
  EXPECT_EQ(ELOOP, static_cast<int>(seen.unreadable[0].second));
  EXPECT_EQ(ENOENT, static_cast<int>(seen.unreadable[1].second));
}

TEST_P(TreeWalkPosix, StopsWhenTheVisitorSaysSo) {
  std::string root = MakeRoot("stop");
  for (int d = 0; d < 40; ++d) {
    std::string dir = root + "/d" + std::to_string(d);
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    for (int f = 0; f < 20; ++f) Put(dir + "/f" + std::to_string(f), static_cast<size_t>(f));
  }
  TreeWalkStats stats{};
  Seen seen;
  TreeWalkResult result;
  // The second root is never started.
  Walk({root, root}, &stats, WalkRun{GetParam(), 17}, &seen, &result);
  EXPECT_EQ(kWalkStopped, result);
  EXPECT_EQ(17u, seen.files.size());
  EXPECT_EQ(0, seen.callsAfterStop);
  EXPECT_FALSE(seen.overlapped);
  // Promptly: far fewer directories than the tree holds were read.
  EXPECT_LT(stats.directories, 40u);
}

// As an ordinary user (a child process when the test runs as root, who
// reads every directory): the locked directory is reported with its reason.
TEST_P(TreeWalkPosix, UnreadableDirectoryIsReportedAndTheWalkGoesOn) {
  std::string root = MakeRoot("locked");
  ASSERT_EQ(0, mkdir((root + "/locked").c_str(), 0));
  ASSERT_EQ(0, mkdir((root + "/open").c_str(), 0755));
  Put(root + "/open.txt", 1);
  Put(root + "/open/inner.txt", 2);
  uint32_t workers = GetParam();
  auto check = [&]() -> int {
    TreeWalkStats stats{};
    Seen seen;
    Walk({root}, &stats, WalkRun{workers}, &seen);
    if (Sorted(seen.files) != std::vector<std::string>{root + "/open.txt", root + "/open/inner.txt"}) return 2;
    if (seen.unreadable.size() != 1) return 3;
    if (seen.unreadable[0].first != root + "/locked") return 4;
    if (seen.unreadable[0].second != EACCES) return 5;
    return 0;
  };
  if (geteuid() != 0) {
    EXPECT_EQ(0, check());
  } else {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(setgid(65534) == 0 && setuid(65534) == 0 ? check() : 1);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "1: no unprivileged user; 2: files; 3..5: the report";
  }
  chmod((root + "/locked").c_str(), 0755);
}

TEST_P(TreeWalkPosix, DeepTreesEndAtTheDepthBoundWithDescriptorsBounded) {
  std::string root = MakeRoot("deep");
  std::string dir = root;
  for (uint32_t i = 0; i < kMaxTreeDepth + 3; ++i) {
    dir += "/d";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    if (i % 50 == 0) Put(dir + "/level", i);
  }
  Put(dir + "/bottom", 1);
  TreeWalkStats stats{};
  Seen seen;
  int before = OpenDescriptors();
  WalkRun run{GetParam()};
  run.countDescriptors = 1;
  Walk({root}, &stats, run, &seen);
  EXPECT_EQ(8u, seen.files.size());  // "level" at depths 1, 51, ... 351; not 401 nor the bottom
  ASSERT_EQ(1u, seen.unreadable.size());
  EXPECT_EQ(ELOOP, static_cast<int>(seen.unreadable[0].second));
  // The root, one directory per worker, the listing in OpenDescriptors:
  // not one per level.
  EXPECT_LE(seen.mostDescriptors, before + static_cast<int>(GetParam()) + 2);
  EXPECT_EQ(before, OpenDescriptors());

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
  Seen longSeen;
  Walk({longRoot}, &longStats, WalkRun{GetParam()}, &longSeen);
  ASSERT_EQ(1u, longSeen.unreadable.size());
  EXPECT_EQ(ENAMETOOLONG, static_cast<int>(longSeen.unreadable[0].second));
  EXPECT_LT(longSeen.unreadable[0].first.size(), static_cast<size_t>(kTreePathCapacity));
}

TEST_P(TreeWalkPosix, WideTreesComeWholeAndOnce) {
  std::string root = MakeRoot("wide");
  std::vector<std::string> planted;
  for (int f = 0; f < 3000; ++f) {
    planted.push_back(root + "/flat" + std::to_string(f));
    Put(planted.back(), static_cast<size_t>(f % 7));
  }
  for (int d = 0; d < 150; ++d) {
    std::string dir = root + "/sub" + std::to_string(d);
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    ASSERT_EQ(0, mkdir((dir + "/inner").c_str(), 0755));
    for (int f = 0; f < 6; ++f) {
      planted.push_back((f % 2 ? dir + "/inner/g" : dir + "/g") + std::to_string(f));
      Put(planted.back(), static_cast<size_t>(f));
    }
  }
  TreeWalkStats stats{};
  Seen seen;
  Walk({root}, &stats, WalkRun{GetParam()}, &seen);
  EXPECT_EQ(Sorted(planted), Sorted(seen.files));
  EXPECT_EQ(301u, stats.directories);
  EXPECT_TRUE(seen.nameReachable);
  EXPECT_FALSE(seen.overlapped);
  for (size_t i = 0; i < seen.files.size(); ++i) {
    std::string name = seen.files[i].substr(seen.files[i].rfind('/') + 1);
    size_t number = std::stoul(name.substr(name.find_first_of("0123456789")));
    ASSERT_EQ(name[0] == 'f' ? number % 7 : number, seen.sizes[i]) << seen.files[i];
  }
  if (GetParam() == 1) {
    // One worker walks depth first: a directory's files together, and a
    // subtree, once left, is never come back to.
    std::vector<std::string> order;
    for (const std::string& f : seen.files)
      if (order.empty() || order.back() != DirectoryOf(f)) order.push_back(DirectoryOf(f));
    EXPECT_EQ(301u, order.size());  // every directory holds files
    for (size_t i = 0; i < order.size(); ++i) {
      size_t left = i + 1;
      while (left < order.size() && IsUnder(order[left], order[i])) ++left;
      for (size_t k = left; k < order.size(); ++k) ASSERT_FALSE(IsUnder(order[k], order[i])) << order[k];
    }
  }
}

// The quarantine folder inside a scanned tree is marked visited before the
// walk and never entered; two thousand directories (the visited set grows
// past its first tables) each come once.
TEST_P(TreeWalkPosix, MarkedDirectoriesAreLeftOutAndManyDirectoriesComeOnce) {
  std::string root = MakeRoot("marked");
  ASSERT_EQ(0, mkdir((root + "/quarantine").c_str(), 0755));
  Put(root + "/quarantine/held.bin", 1536);
  for (int d = 0; d < 40; ++d) {
    std::string dir = root + "/d" + std::to_string(d);
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    for (int e = 0; e < 50; ++e) ASSERT_EQ(0, mkdir((dir + "/e" + std::to_string(e)).c_str(), 0755));
    Put(dir + "/e7/file", 1);
  }
  struct stat st;
  ASSERT_EQ(0, stat((root + "/quarantine").c_str(), &st));
  VisitedSet visited;
  InitVisitedSet(&visited);
  ASSERT_EQ(1, AddToVisitedSet(&visited, st.st_dev, st.st_ino));
  Seen seen;
  TreeWalkStats stats{};
  TreeWalkResult result;
  // Then a part of the same tree again: nothing is entered twice.
  Walk({root, root + "/d3"}, &stats, WalkRun{GetParam()}, &seen, &result, &visited);
  FreeVisitedSet(&visited);
  EXPECT_EQ(kWalkFinished, result);
  EXPECT_EQ(40u, seen.files.size());
  for (const std::string& f : seen.files) EXPECT_EQ(std::string::npos, f.find("/quarantine/")) << f;
  EXPECT_EQ(1u + 40u + 40u * 50u, stats.directories);
  EXPECT_EQ(2u, stats.repeats);
}

// Run as root where mounting is allowed: a file system mounted inside the
// tree is left out unless asked for, and a bind mount of the tree inside
// itself (a cycle no link check sees) ends.
TEST_P(TreeWalkPosix, OtherFileSystemsAndBindMountCycles) {
  std::string root = MakeRoot("mounts");
  ASSERT_EQ(0, mkdir((root + "/tmpfs").c_str(), 0755));
  ASSERT_EQ(0, mkdir((root + "/again").c_str(), 0755));
  Put(root + "/here.bin", 4);
  if (mount("qx-walk", (root + "/tmpfs").c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "cannot mount here: " << strerror(errno);
  Put(root + "/tmpfs/there.bin", 5);
  ASSERT_EQ(0, mount(root.c_str(), (root + "/again").c_str(), nullptr, MS_BIND, nullptr));
  for (int cross = 0; cross < 2; ++cross) {
    TreeWalkStats stats{};
    Seen seen;
    WalkRun run{GetParam()};
    run.cross = cross;
    Walk({root}, &stats, run, &seen);
    std::vector<std::string> expected = {root + "/here.bin"};
    if (cross) expected.push_back(root + "/tmpfs/there.bin");
    EXPECT_EQ(Sorted(expected), Sorted(seen.files)) << "cross " << cross;
    EXPECT_EQ(cross ? 0u : 1u, stats.otherFileSystems);
    // The bind mount is the same device and inode as the root.
    EXPECT_EQ(1u, stats.repeats);
  }
  EXPECT_EQ(0, umount((root + "/again").c_str()));
  EXPECT_EQ(0, umount((root + "/tmpfs").c_str()));
}

// Many workers while another thread renames, creates and deletes in the
// tree and swaps directories for links to a folder outside it: no crash,
// no file twice, nothing outside the tree reached.
TEST(TreeWalkPosixStress, ManyWorkersOnATreeThatChanges) {
  std::string outside = MakeRoot("stress-outside");
  std::set<std::pair<uint64_t, uint64_t>> outsideIds;
  for (int f = 0; f < 20; ++f) {
    Put(outside + "/bait" + std::to_string(f), 1);
    struct stat st;
    ASSERT_EQ(0, stat((outside + "/bait" + std::to_string(f)).c_str(), &st));
    outsideIds.insert({st.st_dev, st.st_ino});
  }
  std::string root = MakeRoot("stress");
  std::vector<std::string> directories;
  for (int a = 0; a < 12; ++a) {
    std::string top = root + "/a" + std::to_string(a);
    ASSERT_EQ(0, mkdir(top.c_str(), 0755));
    directories.push_back(top);
    for (int b = 0; b < 8; ++b) {
      std::string mid = top + "/b" + std::to_string(b);
      ASSERT_EQ(0, mkdir(mid.c_str(), 0755));
      directories.push_back(mid);
      for (int f = 0; f < 12; ++f) Put(mid + "/f" + std::to_string(f), static_cast<size_t>(f));
    }
  }

  std::atomic<int> done{0};
  std::atomic<int> changes{0};
  std::thread changer([&] {
    unsigned seed = 7;
    int serial = 0;
    while (!done.load()) {
      seed = seed * 1103515245u + 12345u;
      std::string old = directories[(seed >> 8) % directories.size()];
      std::string fresh = old + ".moved" + std::to_string(serial++);
      switch ((seed >> 4) % 4) {
        case 0:  // renamed, under a name never used before
        case 1:  // ... and its old name made a link out of the tree
          if (rename(old.c_str(), fresh.c_str()) != 0) break;
          if ((seed >> 4) % 4 == 1) symlink(outside.c_str(), old.c_str());
          for (std::string& d : directories)
            if (d == old || IsUnder(d, old)) d = fresh + d.substr(old.size());
          break;
        case 2: {
          int fd = open((old + "/new" + std::to_string(serial)).c_str(), O_WRONLY | O_CREAT, 0644);
          if (fd >= 0) close(fd);
          break;
        }
        default:
          unlink((old + "/f" + std::to_string((seed >> 12) % 12)).c_str());
          break;
      }
      changes.fetch_add(1);
    }
  });

  int walks = 0;
  for (; walks < 12; ++walks) {
    TreeWalkStats stats{};
    Seen seen;
    WalkRun run{32};
    run.strict = 0;
    Walk({root}, &stats, run, &seen);
    EXPECT_FALSE(seen.overlapped);
    std::set<std::string> paths;
    std::set<std::pair<uint64_t, uint64_t>> original;
    for (size_t i = 0; i < seen.files.size(); ++i) {
      const std::string& path = seen.files[i];
      EXPECT_TRUE(paths.insert(path).second) << "twice: " << path;
      EXPECT_TRUE(IsUnder(path, root)) << path;
      EXPECT_EQ(0u, outsideIds.count(seen.ids[i])) << "outside the tree: " << path;
      // New files may take a deleted file's inode number; the planted ones
      // are each one inode.
      if (path.find("/new") == std::string::npos)
        EXPECT_TRUE(original.insert(seen.ids[i]).second) << "inode twice: " << path;
    }
    for (const auto& u : seen.unreadable) EXPECT_TRUE(u.first == root || IsUnder(u.first, root)) << u.first;
    if (testing::Test::HasFailure()) break;
  }
  done.store(1);
  changer.join();
  EXPECT_GT(changes.load(), walks);  // the tree did change during the walks
  std::string command = "rm -rf '" + root + "'";
  EXPECT_EQ(0, system(command.c_str()));
}

}  // namespace

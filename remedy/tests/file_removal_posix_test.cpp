// Identity-checked removal: only the very file that was checked goes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "remedy/file_removal_posix.h"

namespace {

struct Dir {
  std::string path;
  int fd;
};

Dir Fresh(const char* name) {
  std::string path = "/tmp/qx-removal-" + std::string(name) + "-" + std::to_string(getpid());
  EXPECT_EQ(0, system(("rm -rf " + path + " && mkdir -p " + path).c_str()));
  return Dir{path, open(path.c_str(), O_RDONLY | O_DIRECTORY)};
}

void Put(const Dir& d, const char* name, const char* text) {
  int fd = openat(d.fd, name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(static_cast<ssize_t>(strlen(text)), write(fd, text, strlen(text)));
  close(fd);
}

int Exists(const Dir& d, const char* name) {
  struct stat st;
  return fstatat(d.fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

TEST(FileRemovalPosix, OnlyTheCheckedFileGoes) {
  Dir d = Fresh("same");
  Put(d, "worm.exe", "checked");
  FileIdentity checked{};
  ASSERT_EQ(1, IdentityAt(d.fd, "worm.exe", &checked));

  // Swapped for another file under the same name: left alone.
  Put(d, "other", "clean");
  ASSERT_EQ(0, renameat(d.fd, "worm.exe", d.fd, "held"));
  ASSERT_EQ(0, renameat(d.fd, "other", d.fd, "worm.exe"));
  EXPECT_EQ(kRemovalNotSame, RemoveCheckedFile(d.fd, "worm.exe", checked));
  EXPECT_TRUE(Exists(d, "worm.exe"));

  // Swapped for a link to the checked file itself: the link is not the file.
  ASSERT_EQ(0, unlinkat(d.fd, "worm.exe", 0));
  ASSERT_EQ(0, symlinkat("held", d.fd, "worm.exe"));
  EXPECT_EQ(kRemovalNotSame, RemoveCheckedFile(d.fd, "worm.exe", checked));
  EXPECT_TRUE(Exists(d, "worm.exe"));
  EXPECT_TRUE(Exists(d, "held"));

  // An unknown identity never matches.
  EXPECT_EQ(kRemovalNotSame, RemoveCheckedFile(d.fd, "held", FileIdentity{checked.volume, checked.file, 0}));
  // The checked file under its own name: removed.
  EXPECT_EQ(kRemovalDone, RemoveCheckedFile(d.fd, "held", checked));
  EXPECT_FALSE(Exists(d, "held"));
  // Gone already: a failure, not a success.
  EXPECT_EQ(kRemovalFailed, RemoveCheckedFile(d.fd, "held", checked));
  close(d.fd);
}

}  // namespace

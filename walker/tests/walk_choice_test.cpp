// The choice between the MFT and the folders: a mountinfo line read with
// its escapes and its read-only flags, and the MFT chosen only where the
// device's bytes and the mount's view cannot differ.
#include "walker/walk_choice.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(WalkChoice, MountInfoLinesAreReadWithEscapesAndFlags) {
  MountInfo m;
  ASSERT_TRUE(ParseMountInfoLine(
      "44 26 7:0 / /mnt/win\\040c rw,relatime shared:1 - fuseblk /dev/loop0 rw,user_id=0,allow_other,blksize=4096",
      &m));
  EXPECT_EQ(7u, m.major);
  EXPECT_EQ(0u, m.minor);
  EXPECT_STREQ("/", m.root);
  EXPECT_STREQ("/mnt/win c", m.point);
  EXPECT_STREQ("fuseblk", m.type);
  EXPECT_STREQ("/dev/loop0", m.source);
  EXPECT_FALSE(m.readOnly);

  // Read-only by the mount's options or by the file system's own.
  ASSERT_TRUE(ParseMountInfoLine("50 26 0:39 /sub /m ro,relatime - fuse /tmp/a\\134b.img rw", &m));
  EXPECT_TRUE(m.readOnly);
  EXPECT_STREQ("/sub", m.root);
  EXPECT_STREQ("/tmp/a\\b.img", m.source);
  ASSERT_TRUE(ParseMountInfoLine("51 26 8:1 / /w rw - ntfs3 /dev/sda1 ro,uid=0", &m));
  EXPECT_TRUE(m.readOnly);
  // "rox" is no "ro".
  ASSERT_TRUE(ParseMountInfoLine("52 26 8:1 / /w rw,rox - ext4 /dev/sda1 rw,ro2", &m));
  EXPECT_FALSE(m.readOnly);

  for (const char* torn : {"", "44 26 7:0 / /m rw - fuseblk", "44 26 70 / /m rw - x /d rw", "44 26 7:0 / /m rw x /d rw"})
    EXPECT_FALSE(ParseMountInfoLine(torn, &m)) << torn;
}

TEST(WalkChoice, TheMftOnlyWhereTheTwoViewsCannotDiffer) {
  MountInfo fuse{}, kernel{}, other{}, relative{};
  ParseMountInfoLine("1 2 7:0 / /m rw - fuseblk /dev/loop0 rw", &fuse);
  ParseMountInfoLine("1 2 8:1 / /m rw - ntfs3 /dev/sda1 rw", &kernel);
  ParseMountInfoLine("1 2 8:2 / /m rw - ext4 /dev/sda2 rw", &other);
  ParseMountInfoLine("1 2 0:40 / /m rw - fuse disk.img rw", &relative);
  WalkFacts plain{kWalkAuto, 1, &fuse, 1, 0, 0, 0};
  EXPECT_TRUE(ChooseWalk(plain).useMft);

  struct Row {
    const char* what;
    WalkFacts facts;
    int useMft, onConsole;
  } rows[] = {
      {"dirs asked", {kWalkDirs, 1, &fuse, 1, 0, 0, 0}, 0, 0},
      {"not in the table", {kWalkAuto, 0, &fuse, 0, 0, 0, 0}, 0, 0},
      {"ext4, left to the program", {kWalkAuto, 1, &other, 1, 0, 0, 0}, 0, 0},
      {"ext4, the MFT asked", {kWalkMft, 1, &other, 1, 0, 0, 0}, 0, 1},
      {"into other mounts", {kWalkAuto, 1, &fuse, 1, 0, 1, 0}, 0, 0},
      {"every file read", {kWalkAuto, 1, &fuse, 1, 0, 0, 1}, 0, 0},
      {"a bind mount of a folder", {kWalkAuto, 1, &fuse, 0, 0, 0, 0}, 0, 0},
      {"a mount inside hides files", {kWalkAuto, 1, &fuse, 1, 1, 0, 0}, 0, 1},
      {"kernel read-write", {kWalkAuto, 1, &kernel, 1, 0, 0, 0}, 0, 1},
      {"a source by no full path", {kWalkAuto, 1, &relative, 1, 0, 0, 0}, 0, 0},
  };
  for (const Row& r : rows) {
    WalkChoice c = ChooseWalk(r.facts);
    EXPECT_EQ(r.useMft, c.useMft) << r.what;
    EXPECT_EQ(r.onConsole, c.sayOnConsole) << r.what;
    EXPECT_TRUE(c.reason && c.reason[0]) << r.what;
  }
  kernel.readOnly = 1;
  EXPECT_TRUE(ChooseWalk(WalkFacts{kWalkAuto, 1, &kernel, 1, 0, 0, 0}).useMft);
  // A fallback found once the device is open is said when the volume is NTFS.
  EXPECT_TRUE(ChooseFolders(kWalkAuto, 1, "x").sayOnConsole);
  EXPECT_FALSE(ChooseFolders(kWalkAuto, 0, "x").sayOnConsole);
  EXPECT_TRUE(ChooseFolders(kWalkMft, 0, "x").sayOnConsole);

  WalkMode mode = kWalkDirs;
  EXPECT_TRUE(ParseWalkMode("mft", &mode));
  EXPECT_EQ(kWalkMft, mode);
  EXPECT_FALSE(ParseWalkMode("MFT", &mode));
}

}  // namespace

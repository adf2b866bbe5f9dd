// What needs no appliance: an image open for writing elsewhere, the
// backing files a qcow2 image may be opened over, and the Windows paths the
// rows show.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sys/guest_disk_posix.h"
#include "sys/image_layers_posix.h"
#include "sys/testing/image_head.h"

namespace {

// A child that holds `path` open with `flags` until it is killed.
pid_t Hold(const std::string& path, int flags, int ready[2]) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), flags);
    char ok = fd >= 0 ? 'y' : 'n';
    if (write(ready[1], &ok, 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  char ok = 0;
  EXPECT_EQ(1, read(ready[0], &ok, 1));
  EXPECT_EQ('y', ok);
  return pid;
}

TEST(GuestDisk, AnImageOpenForWritingElsewhereIsSeen) {
  std::string path = std::string(testing::TempDir()) + "/held-image.raw";
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f);
  fputs("not really a disk", f);
  fclose(f);
  long pid = 0;
  EXPECT_EQ(0, ImageOpenForWriting(path.c_str(), &pid)) << "nobody holds it";
  struct {
    int flags;
    int seen;
  } cases[] = {{O_RDONLY, 0}, {O_RDWR, 1}, {O_WRONLY | O_APPEND, 1}};
  for (const auto& c : cases) {
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t holder = Hold(path, c.flags, ready);
    pid = 0;
    EXPECT_EQ(c.seen, ImageOpenForWriting(path.c_str(), &pid)) << c.flags;
    if (c.seen) EXPECT_EQ(static_cast<long>(holder), pid);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
  }
  // This process's own descriptors do not count: it is the one asking.
  int own = open(path.c_str(), O_RDWR);
  EXPECT_EQ(0, ImageOpenForWriting(path.c_str(), &pid));
  close(own);
  EXPECT_EQ(0, ImageOpenForWriting((path + ".missing").c_str(), &pid));
}

TEST(GuestDisk, RowsShowTheDriveLetterAndTheWindowsPath) {
  GuestDrive c{};
  snprintf(c.label, sizeof c.label, "C");
  snprintf(c.mountPoint, sizeof c.mountPoint, "/C");
  GuestDrive device{};
  snprintf(device.label, sizeof device.label, "partition 2");
  snprintf(device.mountPoint, sizeof device.mountPoint, "/fs1");
  struct {
    const GuestDrive* drive;
    const char* appliance;
    const char* windows;  // null: refused
  } cases[] = {
      {&c, "/C/WINDOWS/system32/x.exe", "C:\\WINDOWS\\system32\\x.exe"},
      {&c, "/C", "C:\\"},
      {&device, "/fs1/a b/c.dll", "partition 2:\\a b\\c.dll"},
      {&c, "/D/x.exe", nullptr},
      {&c, "/CD/x.exe", nullptr},
  };
  for (const auto& row : cases) {
    char out[256];
    int ok = GuestWindowsPath(*row.drive, row.appliance, out, sizeof out);
    EXPECT_EQ(row.windows != nullptr, ok != 0) << row.appliance;
    if (row.windows && ok) EXPECT_STREQ(row.windows, out);
  }
  char small[8];
  EXPECT_EQ(0, GuestWindowsPath(c, "/C/WINDOWS/system32/x.exe", small, sizeof small)) << "too long for the buffer";
  // A drive without a letter is named as the person knows the image.
  struct {
    const char* device;
    const char* label;
  } labels[] = {
      {"/dev/sda2", "partition 2"},  {"/dev/sda", "whole disk"},     {"/dev/sda12", "partition 12"},
      {"/dev/sdab1", "/dev/sdab1"},  {"/dev/sda0", "/dev/sda0"},     {"/dev/vg0/lv0", "/dev/vg0/lv0"},
  };
  for (const auto& row : labels) {
    char label[kGuestNameCapacity];
    GuestDriveLabel(row.device, label, sizeof label);
    EXPECT_STREQ(row.label, label) << row.device;
  }
}

// What the in-process reader found is taken away through the appliance:
// its file system is the mounted drive of the same device, whatever letter
// inspection gave it, and its path maps below that drive's mount point.
TEST(GuestDisk, AReaderVolumeIsTheMountedDriveOfItsDevice) {
  GuestDisk disk{};
  const struct {
    const char* label;
    const char* device;
    const char* mountPoint;
    int mounted;
  } drives[] = {{"C", "/dev/sda2", "/C", 1}, {"partition 1", "/dev/sda1", "/fs1", 1},
                {"partition 3", "/dev/sda3", "/fs2", 0}, {"D", "/dev/sdb1", "/D", 1}};
  for (const auto& d : drives) {
    GuestDrive& g = disk.drives[disk.driveCount++];
    snprintf(g.label, sizeof g.label, "%s", d.label);
    snprintf(g.device, sizeof g.device, "%s", d.device);
    snprintf(g.mountPoint, sizeof g.mountPoint, "%s", d.mountPoint);
    g.mounted = d.mounted;
  }
  struct {
    const char* volume;
    int drive;  // -1: none
  } volumes[] = {{"partition 2", 0}, {"partition 1", 1}, {"partition 3", -1}, {"whole disk", -1},
                 {"partition 21", -1}, {"C", -1}, {"/dev/sdb1", -1}};
  for (const auto& row : volumes) {
    uint32_t found = 99;
    EXPECT_EQ(row.drive >= 0, FindGuestDrive(disk, row.volume, &found)) << row.volume;
    if (row.drive >= 0) EXPECT_EQ(static_cast<uint32_t>(row.drive), found) << row.volume;
  }
  GuestDrive whole{};
  snprintf(whole.device, sizeof whole.device, "/dev/sda");
  snprintf(whole.mountPoint, sizeof whole.mountPoint, "/fs0");
  whole.mounted = 1;
  GuestDisk bare{};
  bare.drives[0] = whole;
  bare.driveCount = 1;
  uint32_t found = 99;
  EXPECT_EQ(1, FindGuestDrive(bare, "whole disk", &found));
  EXPECT_EQ(0u, found);

  struct {
    const char* below;
    const char* path;  // null: refused
  } paths[] = {
      {"WINDOWS/system32/x.exe", "/C/WINDOWS/system32/x.exe"},
      {"row 3.exe", "/C/row 3.exe"},
      {"App\\app.exe", "/C/App\\app.exe"},
      {"..x/.y", "/C/..x/.y"},
      {"", nullptr},
      {"../x.exe", nullptr},
      {"a/./x.exe", nullptr},
      {"a//x.exe", nullptr},
      {"a/..", nullptr},
      {"a/", nullptr},
  };
  for (const auto& row : paths) {
    char out[64];
    int ok = GuestPathBelow(disk.drives[0], row.below, out, sizeof out);
    EXPECT_EQ(row.path != nullptr, ok != 0) << row.below;
    if (row.path && ok) EXPECT_STREQ(row.path, out);
  }
  char small[12];
  EXPECT_EQ(0, GuestPathBelow(disk.drives[0], "WINDOWS/x.exe", small, sizeof small)) << "too long for the buffer";
}

void WriteHead(const std::string& path, const ImageHead& head) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f) << path;
  ASSERT_EQ(sizeof head.bytes, fwrite(head.bytes, 1, sizeof head.bytes, f));
  ASSERT_EQ(0, fclose(f));
}

std::string Agree(const std::string& image) {
  ImageHead head;
  FILE* f = fopen(image.c_str(), "rb");
  if (!f) return "no image";
  size_t length = fread(head.bytes, 1, sizeof head.bytes, f);
  fclose(f);
  char why[1024] = "";
  return ImageLayersAgree(image.c_str(), head.bytes, length, why, sizeof why) ? "agree" : why;
}

// Layer by layer, each backing file must carry the format the one above
// states; a raw layer ends the chain, whatever its bytes name.
TEST(GuestDisk, BackingFilesAgreeLayerByLayer) {
  char folder[] = "/tmp/quellix-backing-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(folder));
  std::string d = folder;
  ASSERT_EQ(0, mkdir((d + "/sub").c_str(), 0700));
  // top -> sub/middle (relative to top's folder) -> base (relative to
  // middle's: sub/base) -> raw, whose guest wrote a header naming a file
  // that does not exist.
  WriteHead(d + "/top.qcow2", Qcow2Head("sub/middle.qcow2", "qcow2"));
  WriteHead(d + "/sub/middle.qcow2", Qcow2Head("base.qcow2", "qcow2"));
  WriteHead(d + "/sub/base.qcow2", Qcow2Head((d + "/disk.raw").c_str(), "raw"));
  WriteHead(d + "/disk.raw", Qcow2Head("/nowhere/host.file", "raw"));
  EXPECT_EQ("agree", Agree(d + "/top.qcow2"));
  // A layer whose header does not agree, or states no format below it.
  WriteHead(d + "/sub/base.qcow2", MagicHead("KDMV"));
  EXPECT_EQ(0u, Agree(d + "/top.qcow2").find("its backing file " + d + "/sub/base.qcow2: given as qcow2 but"));
  WriteHead(d + "/sub/base.qcow2", Qcow2Head("disk.raw"));
  EXPECT_NE(std::string::npos, Agree(d + "/top.qcow2").find("without stating its format"));
  // A missing layer, and a layer that is no regular file.
  WriteHead(d + "/sub/middle.qcow2", Qcow2Head("gone.qcow2", "qcow2"));
  EXPECT_EQ(0u, Agree(d + "/top.qcow2").find("its backing file " + d + "/sub/gone.qcow2 cannot be read"));
  WriteHead(d + "/sub/middle.qcow2", Qcow2Head("/dev/null", "raw"));
  EXPECT_EQ(0u, Agree(d + "/top.qcow2").find("its backing file /dev/null cannot be read"));
  // A chain that names itself ends.
  WriteHead(d + "/top.qcow2", Qcow2Head("top.qcow2", "qcow2"));
  EXPECT_EQ("its backing files go more than 16 deep", Agree(d + "/top.qcow2"));
  EXPECT_EQ(0, system(("rm -rf '" + d + "'").c_str()));
}

}  // namespace

// The WOW64 path mapping: which reported module paths lead elsewhere with
// redirection off, which stay, and the buffer limits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sys/wow64_path.h"

namespace {

const Wow64Directories kSeven = {"C:\\Windows\\system32", "C:\\Windows\\SysWOW64", "C:\\Windows", 1};
const Wow64Directories kXp64 = {"C:\\WINDOWS\\system32\\", "C:\\WINDOWS\\SysWOW64\\", "C:\\WINDOWS\\", 0};

struct PathRow {
  const Wow64Directories* directories;
  const char* reported;
  const char* expected;
};

TEST(MapWow64Path, Table) {
  const PathRow rows[] = {
      // What a 32-bit process loaded through System32 came from SysWOW64.
      {&kSeven, "C:\\Windows\\system32\\wormB.exe", "C:\\Windows\\SysWOW64\\wormB.exe"},
      {&kSeven, "c:\\WINDOWS\\SYSTEM32\\sub\\w.exe", "C:\\Windows\\SysWOW64\\sub\\w.exe"},
      {&kXp64, "C:\\WINDOWS\\system32\\wormB.exe", "C:\\WINDOWS\\SysWOW64\\wormB.exe"},
      // Sysnative is how a 32-bit process reaches the real System32.
      {&kSeven, "C:\\Windows\\Sysnative\\w.exe", "C:\\Windows\\system32\\w.exe"},
      {&kSeven, "C:\\Windows\\regedit.exe", "C:\\Windows\\SysWOW64\\regedit.exe"},
      // Folders redirection leaves alone.
      {&kSeven, "C:\\Windows\\system32\\spool\\drivers\\w.exe", "C:\\Windows\\system32\\spool\\drivers\\w.exe"},
      {&kSeven, "C:\\Windows\\System32\\Drivers\\Etc\\w.exe", "C:\\Windows\\System32\\Drivers\\Etc\\w.exe"},
      {&kSeven, "C:\\Windows\\system32\\catroot\\w.exe", "C:\\Windows\\system32\\catroot\\w.exe"},
      {&kSeven, "C:\\Windows\\system32\\catroot2\\w.exe", "C:\\Windows\\system32\\catroot2\\w.exe"},
      {&kSeven, "C:\\Windows\\system32\\LogFiles\\w.exe", "C:\\Windows\\system32\\LogFiles\\w.exe"},
      {&kSeven, "C:\\Windows\\system32\\DriverStore\\w.exe", "C:\\Windows\\system32\\DriverStore\\w.exe"},
      // ... DriverStore only from Windows 7 on; a folder merely starting like one is redirected.
      {&kXp64, "C:\\WINDOWS\\system32\\DriverStore\\w.exe", "C:\\WINDOWS\\SysWOW64\\DriverStore\\w.exe"},
      {&kSeven, "C:\\Windows\\system32\\spooler\\w.exe", "C:\\Windows\\SysWOW64\\spooler\\w.exe"},
      {&kSeven, "C:\\Windows\\system32\\drivers\\w.exe", "C:\\Windows\\SysWOW64\\drivers\\w.exe"},
      // Everything else is where it says.
      {&kSeven, "C:\\Windows\\SysWOW64\\w.exe", "C:\\Windows\\SysWOW64\\w.exe"},
      {&kSeven, "C:\\Windows\\system32x\\w.exe", "C:\\Windows\\system32x\\w.exe"},
      {&kSeven, "C:\\Windows\\w.exe", "C:\\Windows\\w.exe"},
      {&kSeven, "C:\\Windows\\regedit.exe.bak", "C:\\Windows\\regedit.exe.bak"},
      {&kSeven, "D:\\Windows\\system32\\w.exe", "D:\\Windows\\system32\\w.exe"},
      {&kSeven, "C:\\Windows\\system32", "C:\\Windows\\system32"},
      {&kSeven, "", ""},
  };
  for (const PathRow& row : rows) {
    char out[260];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(1, MapWow64Path(row.reported, *row.directories, out, sizeof out)) << row.reported;
    EXPECT_STREQ(row.expected, out) << row.reported;
    // The same, mapped in place.
    char inPlace[260];
    std::strcpy(inPlace, row.reported);
    EXPECT_EQ(1, MapWow64Path(inPlace, *row.directories, inPlace, sizeof inPlace)) << row.reported;
    EXPECT_STREQ(row.expected, inPlace) << row.reported;
  }
}

TEST(MapWow64Path, ResultThatDoesNotFitIsRefused) {
  const char* reported = "C:\\Windows\\Sysnative\\w.exe";  // 27 bytes, maps to 26
  const size_t mapped = std::strlen("C:\\Windows\\system32\\w.exe") + 1;
  char out[64];
  EXPECT_EQ(1, MapWow64Path(reported, kSeven, out, mapped));
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(0, MapWow64Path(reported, kSeven, out, mapped - 1));
  EXPECT_STREQ("", out);
  // Unchanged paths too.
  EXPECT_EQ(0, MapWow64Path("D:\\w.exe", kSeven, out, 8));
  EXPECT_STREQ("", out);
  EXPECT_EQ(1, MapWow64Path("D:\\w.exe", kSeven, out, 9));
  EXPECT_EQ(0, MapWow64Path("D:\\w.exe", kSeven, nullptr, 9));
}

TEST(MapWow64Path, MissingDirectoriesAreRefused) {
  const Wow64Directories missing[] = {
      {nullptr, "C:\\Windows\\SysWOW64", "C:\\Windows", 1},
      {"C:\\Windows\\system32", "", "C:\\Windows", 1},
      {"C:\\Windows\\system32", "C:\\Windows\\SysWOW64", "\\", 1},
  };
  for (const Wow64Directories& directories : missing) {
    char out[64] = "unchanged";
    EXPECT_EQ(0, MapWow64Path("C:\\Windows\\system32\\w.exe", directories, out, sizeof out));
    EXPECT_STREQ("", out);
  }
}

}  // namespace

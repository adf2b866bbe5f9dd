// The offline view of a Windows volume: drive letters, Windows paths, the
// environment of a user's Run values, and the headers that forbid writing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "remedy/command_line.h"
#include "remedy/offline_windows.h"
#include "remedy/testing/minimal_hive.h"

namespace {

TEST(OfflineWindows, WindowsPathsThroughTheLongestDrive) {
  static OfflineDrives drives{};
  ASSERT_TRUE(SetOfflineDrive(&drives, 'c', "/mnt/win"));
  ASSERT_TRUE(SetOfflineDrive(&drives, 'D', "/mnt/win/data"));  // mounted inside C's folder
  ASSERT_TRUE(SetOfflineDrive(&drives, 'E', "/"));
  struct Case {
    const char* mounted;
    const char* windows;  // null: none (no drive holds it, or no Windows name can)
  } cases[] = {
      {"/mnt/win/WINDOWS/system32/a.exe", "C:\\WINDOWS\\system32\\a.exe"},
      {"/mnt/win/data/x y/b.dll", "D:\\x y\\b.dll"},
      {"/mnt/win", "C:\\"},
      {"/mnt/windows/a.exe", "E:\\mnt\\windows\\a.exe"},  // not C: "/mnt/win" is no folder of it
      {"/srv/a.exe", "E:\\srv\\a.exe"},
      // A backslash inside a name would read as a separator: the file
      // "App\app.exe" is not "app.exe" of folder "App": it has no Windows path.
      {"/mnt/win/Program Files/App\\app.exe", nullptr},
      {"/mnt/win/a:b.exe", nullptr},
      {"/mnt/win/tab\t.exe", nullptr},
  };
  for (const Case& c : cases) {
    char out[512] = "";
    EXPECT_EQ(c.windows ? 1 : 0, WindowsPathOf(drives, c.mounted, out, sizeof out)) << c.mounted;
    if (c.windows) {
      EXPECT_STREQ(c.windows, out);
    }
  }
  static OfflineDrives only{};
  ASSERT_TRUE(SetOfflineDrive(&only, 'C', "/mnt/win"));
  char out[16] = "keep";
  EXPECT_EQ(0, WindowsPathOf(only, "/srv/a.exe", out, sizeof out));
  EXPECT_EQ(0, WindowsPathOf(only, "/mnt/win/a-long-name.exe", out, sizeof out));  // does not fit 16 bytes
  EXPECT_STREQ("keep", out);
  // A letter given again replaces its folder.
  ASSERT_TRUE(SetOfflineDrive(&only, 'c', "/mnt/other"));
  EXPECT_EQ(1u, only.count);
  EXPECT_EQ(1, WindowsPathOf(only, "/mnt/other/x", out, sizeof out));
}

TEST(OfflineWindows, RunValuesExpandInTheOfflineEnvironment) {
  static OfflineEnvironment environment{};
  ASSERT_TRUE(SetOfflineVariable(&environment, "SystemRoot", "C:\\WINDOWS"));
  ASSERT_TRUE(SetOfflineVariable(&environment, "USERPROFILE", "C:\\Documents and Settings\\alice"));
  // A user's own variable that names another: expanded in a later round.
  ASSERT_TRUE(SetOfflineVariable(&environment, "TEMP", "%USERPROFILE%\\Local Settings\\Temp"));
  ASSERT_TRUE(SetOfflineVariable(&environment, "systemroot", "C:\\WINNT"));  // same name, any case: replaced
  EXPECT_EQ(3u, environment.count);
  EXPECT_FALSE(SetOfflineVariable(&environment, "LONG", std::string(kEnvironmentValueCapacity, 'x').c_str()));

  CommandLineHost host = OfflineCommandLineHost(&environment);
  char value[kEnvironmentValueCapacity];
  uint32_t lastError = 0;
  EXPECT_EQ(8u, host.lookup(host.context, "SYSTEMROOT", value, sizeof value, &lastError));
  EXPECT_STREQ("C:\\WINNT", value);
  EXPECT_EQ(0u, lastError);
  EXPECT_EQ(0u, host.lookup(host.context, "NoSuchVariable", value, sizeof value, &lastError));
  EXPECT_EQ(static_cast<uint32_t>(kErrorEnvVarNotFound), lastError);
  EXPECT_EQ(9u, host.lookup(host.context, "SystemRoot", value, 8, &lastError));  // size needed, terminator included

  const char* temp = "C:\\Documents and Settings\\alice\\Local Settings\\Temp\\svch0st.exe";
  struct Case {
    const char* commandLine;
    const char* path;
    int refers;
  } cases[] = {
      {"%SystemRoot%\\system32\\worm.exe", "C:\\WINNT\\system32\\worm.exe", 1},
      {"\"%systemroot%\\SYSTEM32\\WORM.EXE\" -s", "C:\\WINNT\\system32\\worm.exe", 1},
      {"%TEMP%\\svch0st.exe", temp, 1},
      {"%USERPROFILE%\\Local Settings\\Temp\\svch0st.exe", temp, 1},
      {"%NoSuchVariable%\\svch0st.exe", temp, 0},
      {"rundll32.exe %TEMP%\\svch0st.exe", temp, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.refers, CommandLineRefersTo(c.commandLine, c.path, &host)) << c.commandLine;
}

TEST(OfflineWindows, HeadersThatForbidWriting) {
  struct Hiber {
    const char* head;
    int hibernated;
  } hibers[] = {{"hibr", 1}, {"HIBR", 1}, {"RSTR", 1}, {"rstr", 1}, {"wake", 0}, {"WAKE", 0},
                {"\0\0\0\0", 0}, {"hib", 0}, {"Hibr", 1}, {"hibx", 0}};
  for (const Hiber& h : hibers)
    EXPECT_EQ(h.hibernated, IsHibernatedHeader(reinterpret_cast<const unsigned char*>(h.head),
                                               h.head[0] ? strlen(h.head) : 4))
        << h.head;

  std::vector<unsigned char> clean = MinimalHive("ROOT");
  EXPECT_EQ(kHiveHeaderClean, CheckHiveHeader(clean.data(), clean.size()));
  std::vector<unsigned char> pending = MinimalHive("ROOT", 8, 7);
  EXPECT_EQ(kHiveHeaderLogPending, CheckHiveHeader(pending.data(), pending.size()));
  const unsigned char windows9x[] = {'C', 'R', 'E', 'G', 0, 0, 1, 0, 0, 0, 0, 0};
  EXPECT_EQ(kHiveHeaderNotRegf, CheckHiveHeader(windows9x, sizeof windows9x));
  EXPECT_EQ(kHiveHeaderNotRegf, CheckHiveHeader(clean.data(), 11));
}

}  // namespace

// Offline Run-value cleaning of profile hives built with libhivex, checked
// with a second reader (reglookup): exactly the values that start a removed
// file go, after a backup copy and a .reg of them; refusals leave the hive
// byte for byte as it was.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "remedy/hive_posix.h"
#include "remedy/offline_volume_posix.h"
#include "remedy/testing/minimal_hive.h"
#include "remedy/testing/profile_hive_posix.h"

namespace {

std::string Fresh(const char* name) {
  std::string dir = "/tmp/qx-hive-" + std::string(name) + "-" + std::to_string(getpid());
  EXPECT_EQ(0, system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()));
  return dir;
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

const char kWorm[] = "C:\\WINDOWS\\system32\\wormy32.exe";
const char kTempWorm[] = "C:\\Documents and Settings\\alice\\Local Settings\\Temp\\svch0st.exe";

std::vector<TestHiveValue> RunValues() {
  return {
      {"ctfmon", 1, "C:\\WINDOWS\\system32\\ctfmon.exe"},
      {"Worm", 1, "C:\\WINDOWS\\system32\\wormy32.exe"},
      {"Quoted", 1, "\"c:\\windows\\SYSTEM32\\WORMY32.EXE\" /s"},
      {"Expanded", 2, "%SystemRoot%\\system32\\wormy32.exe"},
      {"Lookalike", 1, "C:\\WINDOWS\\system32\\wormy32x.exe"},
      {"Argument", 1, "rundll32.exe C:\\WINDOWS\\system32\\wormy32.exe"},
      {"InTemp", 1, "%TEMP%\\svch0st.exe"},
      {"Count", 4, std::string("\x01\x00\x00\x00", 4)},
      {"Caf\xc3\xa9", 1, "C:\\Program Files\\caf\xc3\xa9\\app.exe"},
  };
}

struct Listener {
  std::vector<std::string> deleted;
};

void OnDeleted(void* context, const char*, const char* name, const char*, const char*) {
  static_cast<Listener*>(context)->deleted.push_back(name);
}

struct Cleaning {
  HiveCleanOutcome outcome;
  uint32_t deleted;
  uint32_t kept;
  std::string reason;
  std::vector<std::string> names;
};

Cleaning Clean(const std::string& hive, const std::string& backupDir, HiveBackup* backup,
               const char* user = "alice") {
  static OfflineEnvironment volume{};
  volume.count = 0;
  SetOfflineVariable(&volume, "SystemRoot", "C:\\WINDOWS");
  SetOfflineVariable(&volume, "USERPROFILE", "C:\\Documents and Settings\\alice");
  InitHiveBackup(backup, backupDir.c_str());
  const char* removed[] = {kWorm, kTempWorm};
  std::string folder = hive.substr(0, hive.rfind('/')), name = hive.substr(hive.rfind('/') + 1);
  int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  HiveCleanRequest request{folderFd, name.c_str(), hive.c_str(), user, removed, 2, &volume, backup};
  Listener listener;
  char reason[4096];
  Cleaning c{};
  c.outcome = CleanHiveRunValues(request, HiveValueListener{OnDeleted, &listener}, &c.deleted, &c.kept, reason,
                                 sizeof reason);
  c.reason = reason;
  c.names = listener.deleted;
  CloseHiveBackup(backup);
  close(folderFd);
  return c;
}

TEST(HivePosix, DeletesExactlyTheReferringValuesAfterABackup) {
  std::string dir = Fresh("clean");
  std::string hive = dir + "/NTUSER.DAT";
  ASSERT_TRUE(WriteProfileHive(hive, RunValues(), {{"TEMP", 2, "%USERPROFILE%\\Local Settings\\Temp"}}));
  std::string original = Read(hive);
  std::string before = ReglookupOf(hive);
  ASSERT_NE(std::string::npos, before.find("/Software/Microsoft/Windows/CurrentVersion/Run/Worm,SZ,")) << before;

  HiveBackup backup;
  Cleaning c = Clean(hive, dir + "/backup", &backup);
  ASSERT_EQ(kHiveCleanDone, c.outcome) << c.reason;
  EXPECT_EQ(4u, c.deleted);
  EXPECT_EQ((std::vector<std::string>{"Worm", "Quoted", "Expanded", "InTemp"}), c.names);

  std::string after = ReglookupOf(hive);
  ASSERT_NE("", after) << "reglookup cannot read the written hive";
  for (const char* gone : {"/Run/Worm,", "/Run/Quoted,", "/Run/Expanded,", "/Run/InTemp,"})
    EXPECT_EQ(std::string::npos, after.find(gone)) << gone;
  for (const char* kept : {"/Run/ctfmon,SZ,C:\\WINDOWS\\system32\\ctfmon.exe", "/Run/Lookalike,SZ,",
                           "/Run/Argument,SZ,rundll32.exe", "/Run/Count,DWORD,0x00000001",
                           "/Environment/TEMP,EXPAND_SZ,%25USERPROFILE%25"})
    EXPECT_NE(std::string::npos, after.find(kept)) << kept << "\n" << after;

  // reglookup escapes what is not ASCII; the line must be as it was.
  auto lineOf = [](const std::string& text, const std::string& start) {
    size_t at = text.find(start);
    return at == std::string::npos ? std::string("missing") : text.substr(at, text.find('\n', at) - at);
  };
  EXPECT_EQ(lineOf(before, "/Software/Microsoft/Windows/CurrentVersion/Run/Caf%E9,"),
            lineOf(after, "/Software/Microsoft/Windows/CurrentVersion/Run/Caf%E9,"));
  EXPECT_NE("missing", lineOf(after, "/Software/Microsoft/Windows/CurrentVersion/Run/Caf%E9,"));

  // The copy is the hive as it was; the .reg holds what went.
  EXPECT_EQ(original, Read(dir + "/backup/1-alice-NTUSER.DAT"));
  std::string reg = Read(dir + "/backup/1-alice-Run.reg");
  EXPECT_EQ(0u, reg.find("REGEDIT4\r\n"));
  EXPECT_NE(std::string::npos, reg.find("[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n"));
  EXPECT_NE(std::string::npos, reg.find("\"Worm\"=\"C:\\\\WINDOWS\\\\system32\\\\wormy32.exe\"\r\n")) << reg;
  EXPECT_NE(std::string::npos, reg.find("\"Expanded\"=hex(2):25,53,79,73")) << reg;
  EXPECT_EQ(std::string::npos, reg.find("ctfmon"));

  // Nothing left to do: the hive is not written again.
  std::string cleaned = Read(hive);
  HiveBackup second;
  Cleaning again = Clean(hive, dir + "/backup2", &second);
  EXPECT_EQ(kHiveCleanDone, again.outcome);
  EXPECT_EQ(0u, again.deleted);
  EXPECT_EQ(cleaned, Read(hive));
  struct stat st;
  EXPECT_NE(0, stat((dir + "/backup2").c_str(), &st)) << "no backup folder when nothing is written";
}

TEST(HivePosix, RefusalsLeaveTheHiveAsItWas) {
  std::string dir = Fresh("refuse");
  // A transaction log not applied: the sequence numbers differ.
  std::string hive = dir + "/NTUSER.DAT";
  ASSERT_TRUE(WriteProfileHive(hive, RunValues(), {}));
  {
    std::string bytes = Read(hive);
    StampHiveSequences(reinterpret_cast<unsigned char*>(&bytes[0]), 9, 8);
    std::ofstream(hive, std::ios::binary) << bytes;
  }
  std::string pending = Read(hive);
  HiveBackup backup;
  Cleaning c = Clean(hive, dir + "/backup", &backup);
  EXPECT_EQ(kHiveRefusedLog, c.outcome);
  EXPECT_NE(std::string::npos, c.reason.find("transaction log is not applied"));
  EXPECT_EQ(pending, Read(hive));
  EXPECT_TRUE(c.names.empty());

  // A Windows 9x USER.DAT is no NT hive.
  std::string user = dir + "/USER.DAT";
  std::ofstream(user, std::ios::binary) << std::string("CREG\0\0\1\0", 8) << std::string(100, '\0');
  HiveBackup backup9x;
  EXPECT_EQ(kHiveNotNt, Clean(user, dir + "/backup9x", &backup9x).outcome);
}

TEST(HivePosix, ReadOnlyMountIsRefused) {
  std::string dir = Fresh("readonly");
  std::string source = dir + "/NTUSER.DAT";
  ASSERT_TRUE(WriteProfileHive(source, RunValues(), {}));
  std::string mountPoint = dir + "/ro";
  ASSERT_EQ(0, mkdir(mountPoint.c_str(), 0755));
  if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "no mounting here";
  std::string hive = mountPoint + "/NTUSER.DAT";
  EXPECT_EQ(0, system(("cp '" + source + "' '" + hive + "'").c_str()));
  ASSERT_EQ(0, mount("tmpfs", mountPoint.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=1m"));
  EXPECT_TRUE(IsOnReadOnlyMount(hive.c_str()));
  EXPECT_FALSE(IsOnReadOnlyMount(dir.c_str()));
  HiveBackup backup;
  Cleaning c = Clean(hive, dir + "/backup", &backup);
  EXPECT_EQ(kHiveRefusedReadOnly, c.outcome);
  EXPECT_EQ(Read(source), Read(hive));
  char root[4096];
  ASSERT_TRUE(MountRootOf(hive.c_str(), root, sizeof root));
  EXPECT_EQ(mountPoint, root);
  EXPECT_EQ(0, umount(mountPoint.c_str()));
}

TEST(HivePosix, ProfilesAndSystemFolderIgnoringCase) {
  std::string v = Fresh("volume");
  ASSERT_EQ(0, system(("mkdir -p '" + v + "/winnt/System32' '" + v + "/DOCUMENTS AND SETTINGS/alice' '" + v +
                       "/documents and settings/Bob' '" + v + "/users/carol'")
                          .c_str()));
  for (const char* hive : {"/DOCUMENTS AND SETTINGS/alice/ntuser.dat", "/documents and settings/Bob/NTUSER.DAT",
                           "/users/carol/NtUser.Dat"})
    ASSERT_TRUE(WriteProfileHive(v + hive, {}, {}));
  char name[64];
  ASSERT_TRUE(FindSystemFolder(v.c_str(), name, sizeof name));
  EXPECT_STREQ("winnt", name);
  std::vector<std::string> users;
  uint32_t count = ForEachProfileHive(
      v.c_str(),
      [](void* c, const ProfileHive& hive) {
        static_cast<std::vector<std::string>*>(c)->push_back(hive.user);
        return 1;
      },
      &users);
  // One of the two "Documents and Settings" spellings is taken (an exact
  // match first), as one folder on a case-insensitive volume.
  EXPECT_EQ(2u, count);
  EXPECT_EQ(count, users.size());
  EXPECT_FALSE(IsWindows9xVolume(v.c_str(), "winnt"));

  std::string old = Fresh("win98");
  ASSERT_EQ(0, system(("mkdir -p '" + old + "/WINDOWS' && printf 'CREG' > '" + old + "/WINDOWS/USER.DAT'").c_str()));
  ASSERT_TRUE(FindSystemFolder(old.c_str(), name, sizeof name));
  EXPECT_TRUE(IsWindows9xVolume(old.c_str(), name));
}

}  // namespace

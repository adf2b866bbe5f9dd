// Offline Run-value cleaning of profile hives built with libhivex, checked
// with a second reader (reglookup): exactly the values that start a removed
// file go, after a backup copy and a .reg of them; refusals leave the hive
// byte for byte as it was.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <dirent.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <hivex.h>

#include "remedy/hive_posix.h"
#include "remedy/offline_volume_posix.h"
#include "remedy/volume_hive_posix.h"
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

void OnDeleted(void* context, const char*, const char*, const char* name, const char*, const char*) {
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
               const char* user = "alice", int preview = 0) {
  static OfflineEnvironment volume{};
  volume.count = 0;
  SetOfflineVariable(&volume, "SystemRoot", "C:\\WINDOWS");
  SetOfflineVariable(&volume, "USERPROFILE", "C:\\Documents and Settings\\alice");
  InitHiveBackup(backup, backupDir.empty() ? nullptr : backupDir.c_str());
  const char* removed[] = {kWorm, kTempWorm};
  std::string folder = hive.substr(0, hive.rfind('/')), name = hive.substr(hive.rfind('/') + 1);
  int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  HiveCleanRequest request{folderFd, name.c_str(), hive.c_str(), user, removed, 2, &volume, backup, 0, preview};
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

// RunOnce is cleaned with Run, all or nothing; a preview before names the
// same values and leaves the file, its times and the backup folder alone.
TEST(HivePosix, RunAndRunOnceArePreviewedThenCleanedTogether) {
  std::string dir = Fresh("runonce");
  std::string hive = dir + "/NTUSER.DAT";
  std::vector<std::string> key = {"Software", "Microsoft", "Windows", "CurrentVersion"};
  std::vector<std::string> run = key, once = key;
  run.push_back("Run");
  once.push_back("RunOnce");
  ASSERT_TRUE(WriteTestHive(hive, {{run, {{"Worm", 1, kWorm}, {"ctfmon", 1, "ctfmon.exe"}}},
                                   {once, {{"Setup", 1, "setup.exe /finish"}, {"Again", 2, "%SystemRoot%\\system32\\wormy32.exe"}}}}));
  std::string original = Read(hive);
  struct stat before;
  ASSERT_EQ(0, stat(hive.c_str(), &before));

  HiveBackup backup;
  Cleaning look = Clean(hive, dir + "/backup", &backup, "alice", 1);
  ASSERT_EQ(kHiveCleanDone, look.outcome) << look.reason;
  EXPECT_EQ(2u, look.deleted);
  EXPECT_EQ((std::vector<std::string>{"Worm", "Again"}), look.names);
  struct stat after;
  ASSERT_EQ(0, stat(hive.c_str(), &after));
  EXPECT_EQ(original, Read(hive));
  EXPECT_EQ(before.st_atim.tv_sec, after.st_atim.tv_sec);
  EXPECT_EQ(before.st_atim.tv_nsec, after.st_atim.tv_nsec);
  EXPECT_NE(0, access((dir + "/backup").c_str(), F_OK)) << "a preview makes no backup";
  DIR* d = opendir(dir.c_str());
  int entries = 0;
  while (struct dirent* e = readdir(d)) entries += e->d_name[0] != '.';
  closedir(d);
  EXPECT_EQ(1, entries) << "no temporary file beside the hive";

  Cleaning c = Clean(hive, dir + "/backup", &backup);
  ASSERT_EQ(kHiveCleanDone, c.outcome) << c.reason;
  EXPECT_EQ(look.names, c.names);
  std::string now = ReglookupOf(hive);
  EXPECT_EQ(std::string::npos, now.find("/Run/Worm,"));
  EXPECT_EQ(std::string::npos, now.find("/RunOnce/Again,"));
  EXPECT_NE(std::string::npos, now.find("/Run/ctfmon,")) << now;
  EXPECT_NE(std::string::npos, now.find("/RunOnce/Setup,")) << now;
  std::string reg = Read(dir + "/backup/1-alice-Run.reg");
  EXPECT_NE(std::string::npos, reg.find("[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce]"))
      << reg;
  EXPECT_EQ(original, Read(dir + "/backup/1-alice-NTUSER.DAT"));
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
  EXPECT_EQ(dir + "/backup/1-alice-Run.reg", backup.regFile) << "what a deleted value's record names";
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
  MountedVolume volume;
  OfflineVolumePort port;
  char why[256];
  ASSERT_TRUE(OpenMountedVolume(v.c_str(), 0, &volume, &port, why, sizeof why)) << why;
  uint32_t count = ForEachVolumeProfileHive(
      port,
      [](void* c, const VolumeProfileHive& hive) {
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

namespace {

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  while (struct dirent* e = d ? readdir(d) : nullptr)
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
  if (d) closedir(d);
  return names;
}

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string gSwapHive, gSwapTarget;

void SwapForALink(const char*) {
  EXPECT_EQ(0, unlink(gSwapHive.c_str()));
  EXPECT_EQ(0, symlink(gSwapTarget.c_str(), gSwapHive.c_str()));
}

TEST(HivePosix, NoWriteReachesAnotherFileThroughALinkOrASecondName) {
  std::string dir = Fresh("swap");
  std::string hive = dir + "/NTUSER.DAT", outside = dir + "/outside.txt";
  ASSERT_TRUE(WriteProfileHive(hive, RunValues(), {}));
  std::ofstream(outside) << "not a hive";
  // Swapped for a link between the read and the write.
  gSwapHive = hive;
  gSwapTarget = outside;
  gAfterHiveReadForTests = SwapForALink;
  HiveBackup backup;
  Cleaning swapped = Clean(hive, dir + "/backup", &backup);
  gAfterHiveReadForTests = nullptr;
  EXPECT_EQ(kHiveCleanFailed, swapped.outcome) << swapped.reason;
  EXPECT_TRUE(swapped.names.empty());
  EXPECT_EQ("not a hive", Read(outside));
  struct stat st;
  ASSERT_EQ(0, lstat(hive.c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link is left, not written through";
  for (const std::string& name : Listing(dir)) EXPECT_EQ(std::string::npos, name.find(".tmp")) << name;

  // A hive with a second name elsewhere: both would change.
  ASSERT_EQ(0, unlink(hive.c_str()));
  ASSERT_TRUE(WriteProfileHive(hive, RunValues(), {}));
  std::string before = Read(hive);
  ASSERT_EQ(0, link(hive.c_str(), (dir + "/second-name").c_str()));
  HiveBackup backup2;
  Cleaning linked = Clean(hive, dir + "/backup2", &backup2);
  EXPECT_EQ(kHiveRefusedShape, linked.outcome);
  EXPECT_NE(std::string::npos, linked.reason.find("hard links"));
  EXPECT_EQ(before, Read(hive));
  EXPECT_EQ(before, Read(dir + "/second-name"));
}

TEST(HivePosix, AFullVolumeLeavesTheHiveWholeAndNoRegClaimsADeletion) {
  std::string dir = Fresh("full");
  std::string mountPoint = dir + "/full";
  ASSERT_EQ(0, mkdir(mountPoint.c_str(), 0755));
  if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=128k") != 0) GTEST_SKIP() << "no mounting here";
  std::string hive = mountPoint + "/NTUSER.DAT";
  ASSERT_TRUE(WriteProfileHive(dir + "/source.dat", RunValues(), {}));
  EXPECT_EQ(0, system(("cp '" + dir + "/source.dat' '" + hive + "'").c_str()));
  EXPECT_EQ(0, system(("cat /dev/zero > '" + mountPoint + "/filler' 2>/dev/null; true").c_str()));
  std::string before = Read(hive);
  HiveBackup backup;
  Cleaning c = Clean(hive, dir + "/backup", &backup);
  EXPECT_EQ(kHiveCleanFailed, c.outcome);
  EXPECT_TRUE(c.names.empty());
  EXPECT_EQ(before, Read(hive));
  EXPECT_NE("", ReglookupOf(hive));
  for (const std::string& name : Listing(mountPoint)) EXPECT_EQ(std::string::npos, name.find(".tmp")) << name;
  for (const std::string& name : Listing(dir + "/backup")) EXPECT_EQ(std::string::npos, name.find(".reg")) << name;
  EXPECT_EQ(0, umount(mountPoint.c_str()));
}

TEST(HivePosix, SparseOversizedOrShortHivesAreRefusedUntouched) {
  std::string dir = Fresh("shapes");
  std::string hive = dir + "/NTUSER.DAT";
  // Sparse: 1 GiB apparent, a few KiB on disk.
  ASSERT_TRUE(WriteProfileHive(hive, RunValues(), {}));
  ASSERT_EQ(0, truncate(hive.c_str(), 1ll << 30));
  HiveBackup backup;
  Cleaning sparse = Clean(hive, dir + "/backup", &backup);
  EXPECT_EQ(kHiveRefusedShape, sparse.outcome);
  EXPECT_NE(std::string::npos, sparse.reason.find("sparse"));
  struct stat st;
  EXPECT_NE(0, stat((dir + "/backup").c_str(), &st)) << "no copy of a sparse hive";
  ASSERT_EQ(0, stat(hive.c_str(), &st));
  EXPECT_EQ(1ll << 30, st.st_size);
  EXPECT_LT(st.st_blocks * 512, 1ll << 20);

  // Larger than any user hive, every block allocated.
  ASSERT_EQ(0, unlink(hive.c_str()));
  ASSERT_TRUE(WriteProfileHive(hive, RunValues(), {}));
  {
    int fd = open(hive.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    int allocated = posix_fallocate(fd, 0, static_cast<off_t>(kMaxHiveSize) + 4096);
    close(fd);
    if (allocated != 0) GTEST_SKIP() << "no room for a large file here";
  }
  HiveBackup backupLarge;
  Cleaning large = Clean(hive, dir + "/backup-large", &backupLarge);
  EXPECT_EQ(kHiveRefusedShape, large.outcome);
  EXPECT_NE(std::string::npos, large.reason.find("larger than any user hive")) << large.reason;
  EXPECT_NE(0, stat((dir + "/backup-large").c_str(), &st));
  ASSERT_EQ(0, unlink(hive.c_str()));

  // A header that claims more bins than the file holds.
  ASSERT_TRUE(WriteProfileHive(hive, RunValues(), {}));
  std::string bytes = Read(hive);
  uint32_t claimed = static_cast<uint32_t>(bytes.size()) * 4;
  memcpy(&bytes[0x28], &claimed, 4);
  StampHiveSequences(reinterpret_cast<unsigned char*>(&bytes[0]), 1, 1);
  std::ofstream(hive, std::ios::binary | std::ios::trunc) << bytes;
  HiveBackup backup2;
  Cleaning shortHive = Clean(hive, dir + "/backup2", &backup2);
  EXPECT_EQ(kHiveRefusedShape, shortHive.outcome);
  EXPECT_NE(std::string::npos, shortHive.reason.find("header claims more"));
  EXPECT_EQ(bytes, Read(hive));
}

TEST(HivePosix, AValueLibhivexCannotRewriteLeavesTheHiveAndTheRegUntouched) {
  std::string dir = Fresh("bigdata");
  std::string hive = dir + "/NTUSER.DAT";
  ASSERT_TRUE(WriteProfileHive(hive, {{"Big", 3, std::string(16, 'b')}, {"Worm", 1, kWorm}}, {}));
  std::string text = Read(hive);
  std::vector<unsigned char> bytes(text.begin(), text.end());
  // A 1 MiB value as the system stores it, which libhivex reads but cannot write.
  ASSERT_TRUE(MakeBigDataValue(&bytes, "Big", 1u << 20, 'b'));
  std::ofstream(hive, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(bytes.data()),
                                                                static_cast<std::streamsize>(bytes.size()));
  hive_h* h = hivex_open(hive.c_str(), 0);
  ASSERT_NE(nullptr, h);
  hive_node_h node = hivex_root(h);
  for (const char* part : {"Software", "Microsoft", "Windows", "CurrentVersion", "Run"})
    node = node ? hivex_node_get_child(h, node, part) : 0;
  hive_value_h big = node ? hivex_node_get_value(h, node, "Big") : 0;
  size_t length = 0;
  uint32_t type = 0;
  char* data = big ? hivex_value_value(h, big, reinterpret_cast<hive_type*>(&type), &length) : nullptr;
  EXPECT_EQ(1u << 20, length);
  EXPECT_TRUE(data && data[0] == 'b' && data[length - 1] == 'b');
  free(data);
  hivex_close(h);

  std::string before = Read(hive);
  HiveBackup backup;
  Cleaning c = Clean(hive, dir + "/backup", &backup);
  EXPECT_EQ(kHiveCleanFailed, c.outcome);
  EXPECT_NE(std::string::npos, c.reason.find("libhivex cannot rewrite its Run keys, so it is left as it was"))
      << c.reason;
  EXPECT_TRUE(c.names.empty());
  EXPECT_EQ(before, Read(hive));
  for (const std::string& name : Listing(dir + "/backup")) EXPECT_EQ(std::string::npos, name.find(".reg")) << name;
  for (const std::string& name : Listing(dir)) EXPECT_EQ(std::string::npos, name.find(".tmp")) << name;
}

TEST(HivePosix, TheRegHoldsEveryDeletedValueWhateverItsLength) {
  std::string dir = Fresh("long");
  std::string hive = dir + "/NTUSER.DAT";
  std::string longLine = std::string(kWorm) + " " + std::string(20000, 'x');
  ASSERT_TRUE(WriteProfileHive(hive, {{"Long", 1, longLine}, {"Keep", 1, "notepad.exe"}}, {}));
  HiveBackup backup;
  Cleaning c = Clean(hive, dir + "/backup", &backup);
  ASSERT_EQ(kHiveCleanDone, c.outcome) << c.reason;
  EXPECT_EQ(1u, c.deleted);
  std::string reg = Read(dir + "/backup/1-alice-Run.reg");
  EXPECT_NE(std::string::npos, reg.find("\"Long\"=\"C:\\\\WINDOWS\\\\system32\\\\wormy32.exe " +
                                        std::string(20000, 'x') + "\"\r\n"));
}

TEST(HivePosix, NamesAreDataInTheRegFile) {
  std::string dir = Fresh("names");
  std::string profile = dir + "/a\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n\"x\"=\"y";
  ASSERT_EQ(0, mkdir(profile.c_str(), 0755));
  std::string hive = profile + "/NTUSER.DAT";
  std::string evil = "Evil\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n\"Bad\"=\"c:\\\\bad.exe";
  ASSERT_TRUE(WriteProfileHive(hive, {{"Worm", 1, kWorm}, {evil, 1, kWorm}, {"Keep", 1, "notepad.exe"}}, {}));
  HiveBackup backup;
  Cleaning c = Clean(hive, dir + "/backup", &backup, "a\r\nb");
  ASSERT_EQ(kHiveCleanDone, c.outcome) << c.reason;
  EXPECT_EQ(1u, c.deleted);
  EXPECT_EQ(1u, c.kept) << "a name no .reg can hold stays";
  EXPECT_NE(std::string::npos, c.reason.find("Evil\\x0d\\x0a[HKEY_LOCAL_MACHINE")) << c.reason;
  std::vector<std::string> files = Listing(dir + "/backup");
  ASSERT_EQ(2u, files.size());
  std::string reg = Read(dir + "/backup/1-a__b-Run.reg");
  ASSERT_NE("", reg);
  // Every line that starts a section is the one section written.
  size_t sections = 0;
  for (size_t at = reg.find("\n["); at != std::string::npos; at = reg.find("\n[", at + 1)) ++sections;
  EXPECT_EQ(1u, sections) << reg;
  EXPECT_EQ(std::string::npos, reg.find("HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]\r\n"));
  EXPECT_NE(std::string::npos, reg.find("a\\x0d\\x0a[HKEY_LOCAL_MACHINE")) << reg;
  EXPECT_EQ(std::string::npos, reg.find("Evil"));
  EXPECT_NE(std::string::npos, ReglookupOf(hive).find("/Run/Evil")) << "left in the hive";
}

TEST(HivePosix, TypesLibhivexDoesNotListAreKeptAsTheyWere) {
  std::string dir = Fresh("types");
  std::string hive = dir + "/NTUSER.DAT";
  ASSERT_TRUE(WriteProfileHive(hive, {{"Odd", 0x1234, std::string("\x01\x02\x03", 3)}, {"Worm", 0x4321, kWorm},
                                      {"Worm2", 1, kWorm}},
                               {}));
  HiveBackup backup;
  Cleaning c = Clean(hive, dir + "/backup", &backup);
  ASSERT_EQ(kHiveCleanDone, c.outcome) << c.reason;
  EXPECT_EQ((std::vector<std::string>{"Worm", "Worm2"}), c.names);
  hive_h* h = hivex_open(hive.c_str(), 0);
  ASSERT_NE(nullptr, h);
  hive_node_h node = hivex_root(h);
  for (const char* part : {"Software", "Microsoft", "Windows", "CurrentVersion", "Run"})
    node = node ? hivex_node_get_child(h, node, part) : 0;
  hive_value_h value = node ? hivex_node_get_value(h, node, "Odd") : 0;
  ASSERT_NE(0u, value);
  uint32_t type = 0;
  size_t length = 0;
  ASSERT_EQ(0, hivex_value_type(h, value, reinterpret_cast<hive_type*>(&type), &length));
  EXPECT_EQ(0x1234u, type);
  EXPECT_EQ(3u, length);
  hivex_close(h);
  EXPECT_NE(std::string::npos, Read(dir + "/backup/1-alice-Run.reg").find("\"Worm\"=hex(4321):43,3a")) << "exported raw";
}

TEST(HivePosix, EachRunHasABackupFolderOfItsOwn) {
  std::string dir = Fresh("unique");
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  ASSERT_EQ(0, chdir(dir.c_str()));
  setenv("QUELLIX_SCAN_KEY", (dir + "/key/quarantine.key").c_str(), 1);
  std::vector<std::string> folders;
  for (int i = 0; i < 3; ++i) {
    std::string hive = dir + "/NTUSER" + std::to_string(i) + ".DAT";
    ASSERT_TRUE(WriteProfileHive(hive, RunValues(), {}));
    HiveBackup backup;
    Cleaning c = Clean(hive, "", &backup);
    EXPECT_EQ(kHiveCleanDone, c.outcome) << c.reason;
    EXPECT_EQ(3u, c.deleted);
    folders.push_back(backup.folder);
  }
  ASSERT_EQ(0, chdir(cwd));
  EXPECT_NE(folders[0], folders[1]);
  EXPECT_NE(folders[1], folders[2]);
  // Among this host's backups (the test's key folder), never where the run was started.
  for (const std::string& f : folders) EXPECT_EQ(0u, f.find(dir + "/key/backups/quellix-backup-")) << f;

  // A named backup folder that is a link, or that others may write to, is not used.
  std::string hive = dir + "/NTUSER.DAT";
  ASSERT_TRUE(WriteProfileHive(hive, RunValues(), {}));
  std::string before = Read(hive);
  ASSERT_EQ(0, mkdir((dir + "/real").c_str(), 0700));
  ASSERT_EQ(0, symlink((dir + "/real").c_str(), (dir + "/linked").c_str()));
  ASSERT_EQ(0, mkdir((dir + "/open").c_str(), 0777));
  ASSERT_EQ(0, chmod((dir + "/open").c_str(), 0777));
  for (const char* folder : {"/linked", "/open"}) {
    HiveBackup backup;
    Cleaning c = Clean(hive, dir + folder, &backup);
    EXPECT_EQ(kHiveCleanFailed, c.outcome) << folder;
    EXPECT_NE(std::string::npos, c.reason.find("no backup could be made")) << c.reason;
    EXPECT_EQ(before, Read(hive));
  }
  EXPECT_TRUE(Listing(dir + "/real").empty());
}

// A hiberfil.sys that cannot be read, or a root that cannot be listed, is
// no "not hibernated": the check says it cannot tell, and why. A missing
// one is the only clear answer, and one saying hibernated wins over one
// that cannot be read.
TEST(HivePosix, HibernationThatCannotBeReadIsNoAnswer) {
  std::string v = Fresh("unreadable-hiberfil");
  char found[4096], why[256];
  EXPECT_EQ(kNotHibernated, HoldsHibernatedFile(v.c_str(), found, sizeof found, why, sizeof why));
  struct Case {
    const char* what;
    int make;  // 0 a file of `bytes`, 1 a directory, 2 a FIFO, 3 a link to a hibernated file
    const char* bytes;
    const char* reason;
  } cases[] = {
      {"a directory", 1, "", "it is not a regular file"},
      {"a FIFO", 2, "", "it is not a regular file"},
      {"a link", 3, "", "it is a symbolic link"},
      {"too short", 0, "hi", "it holds 2 bytes, too few for a header"},
      {"empty", 0, "", "it holds 0 bytes, too few for a header"},
  };
  std::string hiberfil = v + "/HiberFil.sys";
  Write(v + "/elsewhere", "hibr");
  for (const Case& c : cases) {
    ASSERT_EQ(0, system(("rm -rf '" + hiberfil + "'").c_str()));
    if (c.make == 0) Write(hiberfil, c.bytes);
    if (c.make == 1) ASSERT_EQ(0, mkdir(hiberfil.c_str(), 0755));
    if (c.make == 2) ASSERT_EQ(0, mkfifo(hiberfil.c_str(), 0600));
    if (c.make == 3) ASSERT_EQ(0, symlink((v + "/elsewhere").c_str(), hiberfil.c_str()));
    std::snprintf(why, sizeof why, "%s", "");
    EXPECT_EQ(kHibernationUnknown, HoldsHibernatedFile(v.c_str(), found, sizeof found, why, sizeof why)) << c.what;
    EXPECT_EQ(hiberfil, found) << c.what;
    EXPECT_STREQ(c.reason, why) << c.what;
  }
  // Another spelling saying hibernated is the answer.
  Write(v + "/hiberfil.sys", "hibr");
  EXPECT_EQ(kHibernated, HoldsHibernatedFile(v.c_str(), found, sizeof found, why, sizeof why));
  EXPECT_EQ(v + "/hiberfil.sys", found);
  // A root that cannot be listed: mode 0 stops all but root, a missing
  // folder everyone.
  std::string closed = Fresh("closed-root");
  ASSERT_EQ(0, chmod(closed.c_str(), 0));
  if (geteuid() != 0) {
    EXPECT_EQ(kHibernationUnknown, HoldsHibernatedFile(closed.c_str(), found, sizeof found, why, sizeof why));
    EXPECT_EQ(closed, found);
    EXPECT_STREQ("it cannot be listed: Permission denied", why);
  }
  EXPECT_EQ(kHibernationUnknown,
            HoldsHibernatedFile((v + "/missing").c_str(), found, sizeof found, why, sizeof why));
  EXPECT_STREQ("it cannot be listed: No such file or directory", why);
  chmod(closed.c_str(), 0755);
}

TEST(HivePosix, EverySpellingCountsAndLinkedOrTwinHivesAreSaid) {
  std::string v = Fresh("spellings");
  Write(v + "/hiberfil.sys", "wake");
  char found[4096], why[256];
  EXPECT_EQ(kNotHibernated, HoldsHibernatedFile(v.c_str(), found, sizeof found, why, sizeof why));
  Write(v + "/HIBERFIL.SYS", "HIBR");
  EXPECT_EQ(kHibernated, HoldsHibernatedFile(v.c_str(), found, sizeof found, why, sizeof why));
  EXPECT_EQ(v + "/HIBERFIL.SYS", found);

  ASSERT_EQ(0, system(("mkdir -p '" + v + "/Users/twins' '" + v + "/Users/linkedhive' '" + v + "/Users/Default' '" +
                       v + "/elsewhere/eve' '" + v + "/Users/plain'")
                          .c_str()));
  for (const char* h : {"/Users/twins/NTUSER.DAT", "/Users/twins/ntuser.dat", "/Users/Default/NTUSER.DAT",
                        "/elsewhere/eve/NTUSER.DAT", "/Users/plain/NtUser.dat", "/elsewhere/hive"})
    ASSERT_TRUE(WriteProfileHive(v + h, {}, {}));
  ASSERT_EQ(0, symlink((v + "/elsewhere/hive").c_str(), (v + "/Users/linkedhive/NTUSER.DAT").c_str()));
  ASSERT_EQ(0, symlink((v + "/Users/Default").c_str(), (v + "/Users/Default User").c_str()));
  ASSERT_EQ(0, symlink((v + "/elsewhere/eve").c_str(), (v + "/Users/eve").c_str()));
  std::map<std::string, std::string> seen;  // user -> trouble ("" when to be cleaned)
  MountedVolume volume;
  OfflineVolumePort port;
  ASSERT_TRUE(OpenMountedVolume(v.c_str(), 0, &volume, &port, why, sizeof why)) << why;
  ForEachVolumeProfileHive(
      port,
      [](void* c, const VolumeProfileHive& h) {
        (*static_cast<std::map<std::string, std::string>*>(c))[h.user] = h.trouble ? h.trouble : "";
        return 1;
      },
      &seen);
  EXPECT_EQ(5u, seen.size());
  EXPECT_EQ("", seen["plain"]);
  EXPECT_EQ("", seen["Default"]);
  EXPECT_EQ(0u, seen.count("Default User")) << "a link to a profile walked anyway";
  EXPECT_NE(std::string::npos, seen["twins"].find("differs only in case"));
  EXPECT_NE(std::string::npos, seen["linkedhive"].find("symbolic link"));
  EXPECT_NE(std::string::npos, seen["eve"].find("symbolic link"));
}

// The mounted volume's table reaches nothing through a link, replaces only
// a plain file with one name, removes only the file that was looked at,
// and writes a new file only where nothing is.
TEST(HivePosix, TheMountedTableFollowsNoLinkAndTakesNoNameThatIsThere) {
  std::string v = Fresh("table");
  ASSERT_EQ(0, system(("mkdir -p '" + v + "/vol/WINDOWS' '" + v + "/outside'").c_str()));
  Write(v + "/outside/secret", "outside");
  Write(v + "/vol/WINDOWS/plain", "plain");
  Write(v + "/vol/WINDOWS/twice", "twice");
  ASSERT_EQ(0, link((v + "/vol/WINDOWS/twice").c_str(), (v + "/outside/second").c_str()));
  ASSERT_EQ(0, symlink((v + "/outside").c_str(), (v + "/vol/out").c_str()));
  ASSERT_EQ(0, symlink((v + "/outside/secret").c_str(), (v + "/vol/WINDOWS/linked").c_str()));
  std::string host = v + "/host";
  Write(host, "fresh");
  int hostFd = open(host.c_str(), O_RDONLY);
  ASSERT_GE(hostFd, 0);
  MountedVolume volume;
  OfflineVolumePort port;
  char why[256];
  ASSERT_TRUE(OpenMountedVolume((v + "/vol").c_str(), 1, &volume, &port, why, sizeof why)) << why;

  unsigned char bytes[16];
  EXPECT_EQ(-1, port.read(port.context, "out/secret", 0, bytes, sizeof bytes)) << "through a linked folder";
  EXPECT_EQ(-1, port.read(port.context, "WINDOWS/linked", 0, bytes, sizeof bytes)) << "a linked file";
  EXPECT_EQ(5, port.read(port.context, "WINDOWS/plain", 0, bytes, sizeof bytes));
  EXPECT_FALSE(port.putWhole(port.context, "WINDOWS/linked", hostFd, 5, why, sizeof why));
  EXPECT_FALSE(port.putWhole(port.context, "WINDOWS/twice", hostFd, 5, why, sizeof why));
  EXPECT_NE(std::string::npos, std::string(why).find("hard links")) << why;
  EXPECT_FALSE(port.putWhole(port.context, "out/secret", hostFd, 5, why, sizeof why));
  EXPECT_FALSE(port.writeNew(port.context, "WINDOWS/linked", hostFd, 5, why, sizeof why));
  EXPECT_FALSE(port.writeNew(port.context, "out/new", hostFd, 5, why, sizeof why));
  EXPECT_EQ("outside", Read(v + "/outside/secret"));
  EXPECT_EQ("twice", Read(v + "/outside/second"));
  EXPECT_NE(0, access((v + "/outside/new").c_str(), F_OK));

  EXPECT_TRUE(port.putWhole(port.context, "WINDOWS/plain", hostFd, 5, why, sizeof why)) << why;
  EXPECT_EQ("fresh", Read(v + "/vol/WINDOWS/plain"));
  EXPECT_TRUE(port.writeNew(port.context, "WINDOWS/new", hostFd, 5, why, sizeof why)) << why;
  EXPECT_EQ("fresh", Read(v + "/vol/WINDOWS/new"));
  for (const std::string& name : Listing(v + "/vol/WINDOWS")) EXPECT_EQ(std::string::npos, name.find(".quellix")) << name;

  VolumeEntry entry{};
  int missing = 0;
  ASSERT_TRUE(port.look(port.context, "WINDOWS/new", &entry, &missing, why, sizeof why));
  EXPECT_EQ(kVolumeChangeNotSame, port.remove(port.context, "WINDOWS/new", entry.identity + 1, 5, why, sizeof why));
  EXPECT_EQ(kVolumeChangeNotSame, port.remove(port.context, "WINDOWS/new", entry.identity, 4, why, sizeof why));
  EXPECT_EQ(kVolumeChangeDone, port.remove(port.context, "WINDOWS/new", entry.identity, 5, why, sizeof why));
  EXPECT_FALSE(port.look(port.context, "WINDOWS/new", &entry, &missing, why, sizeof why));
  EXPECT_TRUE(missing);
  close(hostFd);

  // Read-only: no writer at all.
  MountedVolume reading;
  ASSERT_TRUE(OpenMountedVolume((v + "/vol").c_str(), 0, &reading, &port, why, sizeof why));
  EXPECT_EQ(nullptr, port.putWhole);
  EXPECT_EQ(nullptr, port.remove);
  EXPECT_EQ(nullptr, port.writeNew);
}

// A detection-only run's preview through a read-only table: what would go
// is told, by the hive's row name, and nothing is written.
TEST(HivePosix, APreviewOverAReadOnlyTableTellsWhatWouldGo) {
  std::string v = Fresh("preview-table");
  ASSERT_EQ(0, system(("mkdir -p '" + v + "/Documents and Settings/alice' '" + v + "/WINDOWS'").c_str()));
  std::string hive = v + "/Documents and Settings/alice/NTUSER.DAT";
  ASSERT_TRUE(WriteProfileHive(hive, RunValues(), {}));
  std::string before = Read(hive);
  MountedVolume volume;
  OfflineVolumePort port;
  char why[256];
  ASSERT_TRUE(OpenMountedVolume(v.c_str(), 1, &volume, &port, why, sizeof why)) << why;
  std::vector<std::string> heard;
  RunValueListener listener{
      [](void* c, const RunValueDeletion* d) {
        static_cast<std::vector<std::string>*>(c)->push_back(std::string(d->hive) + " " + d->valueName + " " +
                                                            std::to_string(d->wouldDelete));
      },
      [](void* c, const char* h, uint32_t n) {
        static_cast<std::vector<std::string>*>(c)->push_back(std::string("examined ") + h + " " + std::to_string(n));
      },
      [](void* c, RunValueTrouble, const char* where, const char* reason) {
        static_cast<std::vector<std::string>*>(c)->push_back(std::string("trouble ") + where + ": " + reason);
      },
      &heard, 0};
  const char* removed[] = {kWorm};
  PreviewVolumeRunValues(port, "IMAGE:C:\\", "C:\\WINDOWS", removed, 1, listener);
  const std::string row = "IMAGE:C:\\Documents and Settings\\alice\\NTUSER.DAT";
  EXPECT_EQ((std::vector<std::string>{row + " Worm 1", row + " Quoted 1", row + " Expanded 1", "examined " + row + " 3"}),
            heard);
  EXPECT_EQ(before, Read(hive));
  for (const std::string& name : Listing(v + "/Documents and Settings/alice")) EXPECT_EQ("NTUSER.DAT", name);
}

}  // namespace

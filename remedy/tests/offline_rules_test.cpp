// The offline rules through a volume in memory: nothing that may hold a
// hive is passed over in silence, hibernation fails closed, each hive's
// outcome reaches the listener with its kind, and a restore never leaves
// its drive nor takes a name that is there.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "remedy/offline_rules.h"
#include "remedy/testing/memory_volume.h"

namespace {

std::map<std::string, std::string> Profiles(const OfflineVolumePort& port) {
  std::map<std::string, std::string> seen;  // hive -> trouble ("" when it is to be cleaned)
  ForEachVolumeProfileHive(
      port,
      [](void* c, const VolumeProfileHive& h) {
        (*static_cast<std::map<std::string, std::string>*>(c))[h.hive] = h.trouble ? h.trouble : "";
        return 1;
      },
      &seen);
  return seen;
}

const char kHive[] = "regf";

TEST(OfflineRules, EveryPlaceAHiveMayBeIsCleanedOrSaid) {
  MemoryVolume v;
  for (const char* folder : {"Documents and Settings", "Documents and Settings/alice", "Documents and Settings/bob",
                             "Documents and Settings/twins", "Documents and Settings/linkedhive",
                             "Documents and Settings/Default", "Documents and Settings/empty", "USERS",
                             "USERS/dave"})
    AddMemoryFolder(&v, folder);
  AddMemoryFolder(&v, "Documents and Settings/bob", 1);
  AddMemoryFile(&v, "Documents and Settings/alice/NTUSER.DAT", kHive);
  AddMemoryFile(&v, "Documents and Settings/twins/NTUSER.DAT", kHive);
  AddMemoryFile(&v, "Documents and Settings/twins/ntuser.dat", kHive);
  AddMemoryLink(&v, "Documents and Settings/linkedhive/NTUSER.DAT");
  AddMemoryFile(&v, "Documents and Settings/Default/NTUSER.DAT", kHive);
  AddMemoryLink(&v, "Documents and Settings/Default User");
  AddMemoryLink(&v, "Documents and Settings/All Users");
  AddMemoryLink(&v, "Documents and Settings/carol");
  AddMemoryFile(&v, "Documents and Settings/desktop.ini", "");
  v.entries["Documents and Settings/unseen"] = MemoryVolumeEntry{kVolumeOther, "", 0, 99};
  AddMemoryFile(&v, "USERS/dave/NtUser.Dat", kHive);
  std::string longName(4100, 'x');
  AddMemoryFolder(&v, "USERS/" + longName);
  OfflineVolumePort port = MemoryVolumePort(&v);

  std::map<std::string, std::string> seen = Profiles(port);
  EXPECT_EQ("", seen["Documents and Settings/alice/NTUSER.DAT"]);
  EXPECT_EQ("", seen["Documents and Settings/Default/NTUSER.DAT"]);
  EXPECT_EQ("", seen["USERS/dave/NtUser.Dat"]);
  EXPECT_EQ("its profile folder cannot be listed: Permission denied", seen["Documents and Settings/bob/NTUSER.DAT"]);
  EXPECT_NE(std::string::npos, seen["Documents and Settings/twins/NTUSER.DAT"].find("differs only in case"));
  EXPECT_EQ("is a symbolic link", seen["Documents and Settings/linkedhive/NTUSER.DAT"]);
  EXPECT_EQ("its profile folder is a symbolic link", seen["Documents and Settings/carol/NTUSER.DAT"]);
  EXPECT_NE(std::string::npos, seen["USERS"].find("too long")) << "a path over 4 KiB";
  EXPECT_NE(std::string::npos, seen["Documents and Settings/unseen/NTUSER.DAT"].find("cannot be looked at"));
  EXPECT_EQ(9u, seen.size()) << "the system's junctions, a file and a folder without a hive say nothing";

  // "Documents and Settings" itself a link: the system's own beside a
  // "Users" folder, said otherwise.
  MemoryVolume newer;
  AddMemoryLink(&newer, "Documents and Settings");
  AddMemoryFolder(&newer, "Users");
  EXPECT_TRUE(Profiles(MemoryVolumePort(&newer)).empty());
  MemoryVolume linked;
  AddMemoryLink(&linked, "documents and settings");
  EXPECT_EQ("its profiles folder is a symbolic link", Profiles(MemoryVolumePort(&linked))["documents and settings"]);
  // A profiles folder that cannot be looked at or listed, or a root that
  // cannot be listed.
  MemoryVolume closed;
  AddMemoryFolder(&closed, "Users", 1);
  EXPECT_EQ("its profiles cannot be listed: Permission denied", Profiles(MemoryVolumePort(&closed))["Users"]);
  MemoryVolume unseen;
  unseen.entries["Users"] = MemoryVolumeEntry{kVolumeOther, "", 0, 7};
  EXPECT_EQ("its profiles folder cannot be looked at, or is no folder", Profiles(MemoryVolumePort(&unseen))["Users"]);
  MemoryVolume blind;
  blind.rootUnreadable = 1;
  EXPECT_NE(std::string::npos, Profiles(MemoryVolumePort(&blind))[""].find("root cannot be listed"));
}

TEST(OfflineRules, HibernationIsReadInEverySpellingAndFailsClosed) {
  struct Case {
    const char* what;
    void (*plant)(MemoryVolume* v);
    HibernationState state;
    const char* hiberfil;
    const char* why;
  } cases[] = {
      {"none", [](MemoryVolume*) {}, kNotHibernated, "", ""},
      {"woken", [](MemoryVolume* v) { AddMemoryFile(v, "hiberfil.sys", "wake"); }, kNotHibernated, "", ""},
      {"another spelling says hibernated",
       [](MemoryVolume* v) {
         AddMemoryFile(v, "hiberfil.sys", "wake");
         AddMemoryFile(v, "HIBERFIL.SYS", "HIBR");
       },
       kHibernated, "HIBERFIL.SYS", ""},
      {"resuming", [](MemoryVolume* v) { AddMemoryFile(v, "HiberFil.sys", "rstr"); }, kHibernated, "HiberFil.sys", ""},
      {"unreadable", [](MemoryVolume* v) { AddMemoryFile(v, "hiberfil.sys", "hibr", 1); }, kHibernationUnknown,
       "hiberfil.sys", "it cannot be read"},
      {"a link", [](MemoryVolume* v) { AddMemoryLink(v, "hiberfil.sys"); }, kHibernationUnknown, "hiberfil.sys",
       "it is a symbolic link"},
      {"a folder", [](MemoryVolume* v) { AddMemoryFolder(v, "hiberfil.sys"); }, kHibernationUnknown, "hiberfil.sys",
       "it is not a regular file"},
      {"too short", [](MemoryVolume* v) { AddMemoryFile(v, "hiberfil.sys", "hi"); }, kHibernationUnknown,
       "hiberfil.sys", "it holds 2 bytes, too few for a header"},
      {"unreadable beside hibernated",
       [](MemoryVolume* v) {
         AddMemoryLink(v, "hiberfil.sys");
         AddMemoryFile(v, "HIBERFIL.SYS", "hibr");
       },
       kHibernated, "HIBERFIL.SYS", ""},
      {"a root that cannot be listed", [](MemoryVolume* v) { v->rootUnreadable = 1; }, kHibernationUnknown, "",
       "it cannot be listed: Permission denied"},
  };
  for (const Case& c : cases) {
    MemoryVolume v;
    c.plant(&v);
    char hiberfil[64] = "", why[128] = "";
    EXPECT_EQ(c.state, VolumeHibernation(MemoryVolumePort(&v), hiberfil, sizeof hiberfil, why, sizeof why)) << c.what;
    EXPECT_STREQ(c.hiberfil, hiberfil) << c.what;
    EXPECT_STREQ(c.why, why) << c.what;
  }
}

// A cleaner that records what the rules handed it and answers by path.
struct FakeCleaner {
  std::map<std::string, HiveCleanOutcome> outcomes;
  std::vector<std::string> cleaned;  // "path|user|machine|USERPROFILE"
};

HiveCleanOutcome FakeClean(void* context, const OfflineVolumePort&, const VolumeHive& hive,
                           const RunValueListener& listener, uint32_t* deleted, uint32_t* kept, char* reason,
                           size_t capacity) {
  FakeCleaner* f = static_cast<FakeCleaner*>(context);
  std::string profile;
  for (uint32_t i = 0; i < hive.environment->count; ++i)
    if (std::string(hive.environment->variables[i].name) == "USERPROFILE")
      profile = hive.environment->variables[i].value;
  f->cleaned.push_back(std::string(hive.path) + "|" + hive.user + "|" + std::to_string(hive.machineHive) + "|" +
                       profile);
  auto at = f->outcomes.find(hive.path);
  HiveCleanOutcome outcome = at == f->outcomes.end() ? kHiveCleanDone : at->second;
  *deleted = outcome == kHiveCleanDone ? 1 : 0;
  *kept = 0;
  snprintf(reason, capacity, "%s", "the cleaner's reason");
  RunValueDeletion d{hive.shown, "Run", "Worm", hive.removedWindowsPaths[0], hive.removedWindowsPaths[0], "", 1};
  if (outcome == kHiveCleanDone) TellRunValueDeleted(&listener, d);
  return outcome;
}

struct Heard {
  std::vector<std::string> lines;
};

RunValueListener Hearing(Heard* heard) {
  return RunValueListener{
      [](void* c, const RunValueDeletion* d) {
        static_cast<Heard*>(c)->lines.push_back(std::string("deleted ") + d->hive);
      },
      [](void* c, const char* hive, uint32_t n) {
        static_cast<Heard*>(c)->lines.push_back("examined " + std::string(hive) + " " + std::to_string(n));
      },
      [](void* c, RunValueTrouble kind, const char* where, const char*) {
        static_cast<Heard*>(c)->lines.push_back("trouble " + std::to_string(kind) + " " + where);
      },
      heard, 1};
}

TEST(OfflineRules, EachHiveIsCleanedOrToldWithItsKind) {
  MemoryVolume v;
  for (const char* folder : {"Users", "Users/alice", "Users/pending", "Users/bob", "winnt", "winnt/SYSTEM32",
                             "winnt/SYSTEM32/Config"})
    AddMemoryFolder(&v, folder);
  AddMemoryFile(&v, "Users/alice/NTUSER.DAT", kHive);
  AddMemoryFile(&v, "Users/pending/NTUSER.DAT", kHive);
  AddMemoryFolder(&v, "Users/bob", 1);
  AddMemoryFile(&v, "winnt/SYSTEM32/Config/software", kHive);
  FakeCleaner cleaner;
  cleaner.outcomes["Users/pending/NTUSER.DAT"] = kHiveRefusedLog;
  const char* removed[] = {"D:\\x\\worm.exe"};
  VolumeRunValueRequest request{"IMAGE:D:\\", 1, 'D', "D:\\WINNT", "winnt", removed, 1};
  Heard heard;
  CleanVolumeRunValues(MemoryVolumePort(&v), request, VolumeHiveCleaner{FakeClean, &cleaner}, Hearing(&heard));
  EXPECT_EQ((std::vector<std::string>{"Users/alice/NTUSER.DAT|alice|0|D:\\Users\\alice",
                                      "Users/pending/NTUSER.DAT|pending|0|D:\\Users\\pending",
                                      "winnt/SYSTEM32/Config/software|system|1|"}),
            cleaner.cleaned);
  EXPECT_EQ((std::vector<std::string>{
                "deleted IMAGE:D:\\Users\\alice\\NTUSER.DAT", "examined IMAGE:D:\\Users\\alice\\NTUSER.DAT 1",
                "trouble 3 IMAGE:D:\\Users\\bob\\NTUSER.DAT",
                "trouble 1 IMAGE:D:\\Users\\pending\\NTUSER.DAT",
                "deleted IMAGE:D:\\winnt\\SYSTEM32\\Config\\software",
                "examined IMAGE:D:\\winnt\\SYSTEM32\\Config\\software 1"}),
            heard.lines);

  // Nothing removed: nothing looked at.
  Heard none;
  request.removedCount = 0;
  CleanVolumeRunValues(MemoryVolumePort(&v), request, VolumeHiveCleaner{FakeClean, &cleaner}, Hearing(&none));
  EXPECT_TRUE(none.lines.empty());

  // Only what was written on purpose is "refused".
  struct Kind {
    HiveCleanOutcome outcome;
    RunValueTrouble kind;
  } kinds[] = {{kHiveRefusedLog, kRunValuesRefused}, {kHiveRefusedReadOnly, kRunValuesRefused},
               {kHiveRefusedShape, kRunValuesRefused}, {kHiveCleanFailed, kRunValuesFailed},
               {kHiveNotNt, kRunValuesFailed}};
  for (const Kind& k : kinds) EXPECT_EQ(k.kind, RunValueTroubleOf(k.outcome)) << k.outcome;
}

TEST(OfflineRules, RestoreStaysOnItsDriveAndTakesNoNameThatIsThere) {
  MemoryVolume v;
  AddMemoryFolder(&v, "WINDOWS");
  AddMemoryLink(&v, "linked");
  AddMemoryFile(&v, "WINDOWS/there.exe", "old");
  AddMemoryLink(&v, "WINDOWS/link.exe");
  const int host = 7;
  v.hostFiles[host] = "copy";
  OfflineVolumePort port = MemoryVolumePort(&v);
  struct Case {
    const char* below;
    int force;
    RestoreOutcome outcome;
    const char* why;  // the start of the refusal
  } cases[] = {
      {"..\\x.exe", 0, kRestoreFailed, "its path would leave"},
      {"WINDOWS\\..\\..\\x.exe", 0, kRestoreFailed, "its path would leave"},
      {"WINDOWS\\.\\x.exe", 0, kRestoreFailed, "its path would leave"},
      {"WINDOWS\\\\x.exe", 0, kRestoreFailed, "its path would leave"},
      {"WINDOWS\\a/b.exe", 0, kRestoreFailed, "its path would leave"},
      {"linked\\x.exe", 0, kRestoreFailed, "a folder on its way"},
      {"missing\\x.exe", 0, kRestoreFailed, "a folder on its way"},
      {"WINDOWS\\there.exe\\x.exe", 0, kRestoreFailed, "a folder on its way"},
      {"WINDOWS\\there.exe", 0, kRestoreExists, nullptr},
      {"WINDOWS\\link.exe", 0, kRestoreExists, nullptr},
      {"WINDOWS\\link.exe", 1, kRestoreFailed, "what is in its place"},
  };
  for (const Case& c : cases) {
    const char* why = nullptr;
    char words[64];
    EXPECT_EQ(c.outcome, RestoreVolumeFile(port, c.below, host, 4, c.force, &why, words, sizeof words)) << c.below;
    if (c.why) {
      ASSERT_NE(nullptr, why) << c.below;
      EXPECT_EQ(0u, std::string(why).find(c.why)) << c.below << ": " << why;
    }
  }
  EXPECT_EQ(0u, v.writes) << "no refusal wrote";
  EXPECT_EQ("old", v.entries["WINDOWS/there.exe"].bytes);

  const char* why = nullptr;
  char words[64];
  EXPECT_EQ(kRestoreDone, RestoreVolumeFile(port, "WINDOWS\\there.exe", host, 4, 1, &why, words, sizeof words));
  EXPECT_EQ("copy", v.entries["WINDOWS/there.exe"].bytes);
  EXPECT_EQ(kRestoreDone, RestoreVolumeFile(port, "WINDOWS\\new.exe", host, 4, 0, &why, words, sizeof words));
  EXPECT_EQ("copy", v.entries["WINDOWS/new.exe"].bytes);
  EXPECT_EQ(kRestoreFailed, RestoreVolumeFile(MemoryVolumePort(&v, 1), "WINDOWS\\other.exe", host, 4, 0, &why, words,
                                              sizeof words));
  EXPECT_EQ(0u, v.entries.count("WINDOWS/other.exe"));
}

}  // namespace

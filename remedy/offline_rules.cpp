// The offline rules over a volume's table (see offline_rules.h).
#include "remedy/offline_rules.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const size_t kVolumePathCapacity = 4096;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

int SameIgnoringCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (Lower(*a) != Lower(*b)) return 0;
  return *a == *b;
}

void Put(char* out, size_t capacity, const char* text) {
  if (capacity) snprintf(out, capacity, "%s", text);
}

// "folder/name", or "name" at the root; "" when it would not fit.
std::string Join(const std::string& folder, const std::string& name) {
  std::string path = folder.empty() ? name : folder + "/" + name;
  return path.size() < kVolumePathCapacity ? path : std::string();
}

struct Listed {
  std::string name;
  VolumeEntryKind kind;
  uint64_t size;
  uint64_t identity;
};

int Collect(void* context, const VolumeEntry& entry) {
  static_cast<std::vector<Listed>*>(context)->push_back(
      Listed{entry.name, entry.kind, entry.size, entry.identity});
  return 1;
}

// Every entry of `folder`. 0 with the reason in `why`.
int ListAll(const OfflineVolumePort& volume, const std::string& folder, std::vector<Listed>* entries, char* why,
            size_t capacity) {
  entries->clear();
  return volume.list(volume.context, folder.c_str(), Collect, entries, why, capacity);
}

// The entries of `entries` named `name` ignoring case, an exact match first.
std::vector<const Listed*> Spellings(const std::vector<Listed>& entries, const char* name) {
  std::vector<const Listed*> found;
  for (const Listed& e : entries) {
    if (!SameIgnoringCase(e.name.c_str(), name)) continue;
    if (e.name == name)
      found.insert(found.begin(), &e);
    else
      found.push_back(&e);
  }
  return found;
}

}  // namespace

HibernationState VolumeHibernation(const OfflineVolumePort& volume, char* hiberfil, size_t capacity, char* why,
                                   size_t whyCapacity) {
  std::vector<Listed> entries;
  char reason[320] = "";
  if (!ListAll(volume, "", &entries, reason, sizeof reason)) {
    Put(hiberfil, capacity, "");
    if (whyCapacity) snprintf(why, whyCapacity, "it cannot be listed: %s", reason);
    return kHibernationUnknown;
  }
  // Every spelling: "hiberfil.sys" saying "wake" must not hide "HIBERFIL.SYS"
  // saying "hibr", nor one that cannot be read.
  HibernationState state = kNotHibernated;
  for (const Listed& e : entries) {
    if (!SameIgnoringCase(e.name.c_str(), "hiberfil.sys")) continue;
    HibernationState file = kHibernationUnknown;
    if (e.kind == kVolumeLink) {
      snprintf(reason, sizeof reason, "%s", "it is a symbolic link");
    } else if (e.kind != kVolumeFile) {
      snprintf(reason, sizeof reason, "%s", "it is not a regular file");
    } else {
      unsigned char head[8];
      int64_t got = volume.read(volume.context, e.name.c_str(), 0, head, sizeof head);
      if (got < 0)
        snprintf(reason, sizeof reason, "%s", "it cannot be read");
      else if (got < 4)
        snprintf(reason, sizeof reason, "it holds %u bytes, too few for a header", static_cast<unsigned>(got));
      else
        file = IsHibernatedHeader(head, static_cast<size_t>(got)) ? kHibernated : kNotHibernated;
    }
    if (file == kNotHibernated || (file == kHibernationUnknown && state != kNotHibernated)) continue;
    Put(hiberfil, capacity, e.name.c_str());
    if (file == kHibernated) return kHibernated;
    Put(why, whyCapacity, reason);
    state = kHibernationUnknown;
  }
  return state;
}

namespace {

struct ProfileWalk {
  const OfflineVolumePort* volume;
  int (*found)(void* context, const VolumeProfileHive& hive);
  void* context;
  uint32_t count;
  int stopped;
};

int Tell(ProfileWalk* walk, const std::string& hive, const std::string& profile, const std::string& user,
         const char* trouble) {
  walk->count += 1;
  VolumeProfileHive h{hive.c_str(), profile.c_str(), user.c_str(), trouble};
  if (!walk->found(walk->context, h)) walk->stopped = 1;
  return !walk->stopped;
}

// The hive of one profile folder.
int VisitProfile(ProfileWalk* walk, const std::string& profile, const std::string& user) {
  std::vector<Listed> entries;
  char why[320] = "";
  std::string standIn = Join(profile, "NTUSER.DAT");
  if (standIn.empty()) return Tell(walk, profile, profile, user, "its path is too long to be looked at");
  if (!ListAll(*walk->volume, profile, &entries, why, sizeof why)) {
    std::string trouble = std::string("its profile folder cannot be listed: ") + why;
    return Tell(walk, standIn, profile, user, trouble.c_str());
  }
  std::vector<const Listed*> hives = Spellings(entries, "NTUSER.DAT");
  if (hives.empty()) return 1;
  for (const Listed* h : hives) {
    std::string hive = Join(profile, h->name);
    if (hive.empty()) return Tell(walk, standIn, profile, user, "its path is too long to be looked at");
    if (h->kind == kVolumeLink) return Tell(walk, hive, profile, user, "is a symbolic link");
    if (h->kind != kVolumeFile) return Tell(walk, hive, profile, user, "is no regular file");
  }
  if (hives.size() > 1)
    return Tell(walk, standIn, profile, user,
                "has a twin whose name differs only in case; which one the system loads is not known");
  return Tell(walk, Join(profile, hives[0]->name), profile, user, nullptr);
}

// Links the system itself makes among the profiles, to a folder walked in
// its own right ("Default User" to "Default") or holding no hive ("All
// Users" to the shared application data).
int IsSystemJunction(const char* name) {
  return SameIgnoringCase(name, "Default User") || SameIgnoringCase(name, "All Users");
}

void VisitProfiles(ProfileWalk* walk, const std::string& parent) {
  std::vector<Listed> entries;
  char why[320] = "";
  if (!ListAll(*walk->volume, parent, &entries, why, sizeof why)) {
    std::string trouble = std::string("its profiles cannot be listed: ") + why;
    Tell(walk, parent, parent, "", trouble.c_str());
    return;
  }
  for (const Listed& e : entries) {
    // A file there holds no profile; an entry that could not be looked at may.
    if (e.kind == kVolumeFile) continue;
    std::string profile = Join(parent, e.name);
    std::string hive = profile.empty() ? std::string() : Join(profile, "NTUSER.DAT");
    if (hive.empty()) {
      if (!Tell(walk, parent, parent, e.name, "a profile folder's path is too long to be looked at")) return;
      continue;
    }
    if (e.kind == kVolumeLink) {
      if (IsSystemJunction(e.name.c_str())) continue;
      if (!Tell(walk, hive, profile, e.name, "its profile folder is a symbolic link")) return;
      continue;
    }
    if (e.kind == kVolumeOther) {
      if (!Tell(walk, hive, profile, e.name, "its profile folder cannot be looked at, or is no folder")) return;
      continue;
    }
    if (!VisitProfile(walk, profile, e.name)) return;
  }
}

}  // namespace

uint32_t ForEachVolumeProfileHive(const OfflineVolumePort& volume,
                                  int (*found)(void* context, const VolumeProfileHive& hive), void* context) {
  ProfileWalk walk{&volume, found, context, 0, 0};
  std::vector<Listed> root;
  char why[320] = "";
  if (!ListAll(volume, "", &root, why, sizeof why)) {
    std::string trouble = std::string("the volume's root cannot be listed, so its profiles are not known: ") + why;
    Tell(&walk, "", "", "", trouble.c_str());
    return walk.count;
  }
  int usersFolder = 0;
  for (const Listed* u : Spellings(root, "Users")) usersFolder |= u->kind == kVolumeFolder;
  for (const char* parent : {"Documents and Settings", "Users"}) {
    // One spelling is taken (an exact match first), as one folder on a
    // case-insensitive volume; the first that is a folder or a link.
    for (const Listed* p : Spellings(root, parent)) {
      if (p->kind == kVolumeLink) {
        // Newer systems link "Documents and Settings" to "Users".
        if (!usersFolder || strcmp(parent, "Users") == 0)
          Tell(&walk, p->name, p->name, "", "its profiles folder is a symbolic link");
        break;
      }
      if (p->kind == kVolumeOther) {
        // It may be the profiles folder whose record could not be read.
        Tell(&walk, p->name, p->name, "", "its profiles folder cannot be looked at, or is no folder");
        break;
      }
      if (p->kind != kVolumeFolder) continue;
      VisitProfiles(&walk, p->name);
      break;
    }
    if (walk.stopped) break;
  }
  return walk.count;
}

RunValueTrouble RunValueTroubleOf(HiveCleanOutcome outcome) {
  switch (outcome) {
    case kHiveCleanDone:
      return static_cast<RunValueTrouble>(0);
    case kHiveRefusedLog:
    case kHiveRefusedReadOnly:
    case kHiveRefusedShape:
      return kRunValuesRefused;
    case kHiveCleanFailed:
    case kHiveNotNt:
      break;
  }
  return kRunValuesFailed;
}

namespace {

struct RunValueJob {
  const OfflineVolumePort* volume;
  const VolumeRunValueRequest* request;
  const VolumeHiveCleaner* cleaner;
  const RunValueListener* listener;
};

std::string Shown(const VolumeRunValueRequest& request, const std::string& path) {
  std::string shown = std::string(request.shownPrefix) + path;
  if (request.backslashes)
    for (size_t i = strlen(request.shownPrefix); i < shown.size(); ++i)
      if (shown[i] == '/') shown[i] = '\\';
  return shown;
}

// What the system tells about itself (the hive's own Environment key is
// added by the hive code); a profile adds where it lives.
void SetVolumeVariables(const VolumeRunValueRequest& request, const std::string* profile,
                        OfflineEnvironment* environment) {
  environment->count = 0;
  char drive[3] = {request.letter, ':', 0};
  if (request.systemRoot && request.systemRoot[0]) {
    SetOfflineVariable(environment, "SystemRoot", request.systemRoot);
    SetOfflineVariable(environment, "windir", request.systemRoot);
    drive[0] = request.systemRoot[0];
  }
  if (drive[0]) SetOfflineVariable(environment, "SystemDrive", drive);
  if (!profile || !request.letter) return;
  std::string windows = std::string(1, request.letter) + ":\\" + *profile;
  for (char& c : windows)
    if (c == '/') c = '\\';
  if (windows.size() + 1 > kEnvironmentValueCapacity || HoldsNonWindowsName(profile->c_str())) return;
  SetOfflineVariable(environment, "USERPROFILE", windows.c_str());
  char home[3] = {request.letter, ':', 0};
  SetOfflineVariable(environment, "HOMEDRIVE", home);
  SetOfflineVariable(environment, "HOMEPATH", windows.c_str() + 2);
}

void CleanAndTell(const RunValueJob& job, const std::string& path, const char* user, int machine,
                  const OfflineEnvironment& environment) {
  std::string shown = Shown(*job.request, path);
  VolumeHive hive{path.c_str(), shown.c_str(), user, machine, &environment, job.request->removedWindowsPaths,
                  job.request->removedCount};
  uint32_t deleted = 0, kept = 0;
  std::vector<char> reason(4096);
  reason[0] = 0;
  HiveCleanOutcome outcome = job.cleaner->clean(job.cleaner->context, *job.volume, hive, *job.listener, &deleted,
                                                &kept, reason.data(), reason.size());
  if (outcome == kHiveCleanDone) {
    TellRunValuesExamined(job.listener, shown.c_str(), deleted);
    if (kept) TellRunValueTrouble(job.listener, kRunValuesFailed, shown.c_str(), reason.data());
    return;
  }
  TellRunValueTrouble(job.listener, RunValueTroubleOf(outcome), shown.c_str(), reason.data());
}

int CleanProfile(void* context, const VolumeProfileHive& found) {
  const RunValueJob& job = *static_cast<const RunValueJob*>(context);
  if (found.trouble) {
    TellRunValueTrouble(job.listener, kRunValuesNotCleaned, Shown(*job.request, found.hive).c_str(), found.trouble);
    return 1;
  }
  std::vector<OfflineEnvironment> holder(1);
  std::string profile = found.profile;
  SetVolumeVariables(*job.request, &profile, &holder[0]);
  CleanAndTell(job, found.hive, found.user, 0, holder[0]);
  return 1;
}

// HKEY_LOCAL_MACHINE's Run and RunOnce: the SOFTWARE hive of the system
// folder, each step found in any case as Windows names them.
void CleanMachineHive(const RunValueJob& job) {
  const char* systemFolder = job.request->systemFolder;
  if (!systemFolder || !systemFolder[0]) return;
  std::string folder;
  std::vector<Listed> entries;
  char why[320] = "";
  for (const char* step : {systemFolder, "system32", "config", "SOFTWARE"}) {
    if (!ListAll(*job.volume, folder, &entries, why, sizeof why)) {
      std::string trouble = std::string("its folder cannot be listed: ") + why;
      TellRunValueTrouble(job.listener, kRunValuesNotCleaned, Shown(*job.request, Join(folder, "SOFTWARE")).c_str(),
                          trouble.c_str());
      return;
    }
    // A folder on the way is taken as it is spelt, an exact match first.
    std::vector<const Listed*> found = Spellings(entries, step);
    if (found.empty()) return;
    const int last = strcmp(step, "SOFTWARE") == 0;
    std::string next = Join(folder, found[0]->name);
    const char* trouble = next.empty()                                ? "its path is too long to be looked at"
                          : found.size() > 1 && last                  ? "two hives there have names that differ only in case"
                          : found[0]->kind == kVolumeLink             ? "is a symbolic link"
                          : found[0]->kind != (last ? kVolumeFile : kVolumeFolder)
                              ? "is not what the system has there"
                              : nullptr;
    if (trouble) {
      TellRunValueTrouble(job.listener, kRunValuesNotCleaned,
                          Shown(*job.request, next.empty() ? folder : next).c_str(), trouble);
      return;
    }
    folder = next;
  }
  std::vector<OfflineEnvironment> holder(1);
  SetVolumeVariables(*job.request, nullptr, &holder[0]);
  CleanAndTell(job, folder, "system", 1, holder[0]);
}

}  // namespace

void CleanVolumeRunValues(const OfflineVolumePort& volume, const VolumeRunValueRequest& request,
                          const VolumeHiveCleaner& cleaner, const RunValueListener& listener) {
  if (request.removedCount == 0) return;
  RunValueJob job{&volume, &request, &cleaner, &listener};
  ForEachVolumeProfileHive(volume, CleanProfile, &job);
  CleanMachineHive(job);
}

RestoreOutcome RestoreVolumeFile(const OfflineVolumePort& volume, const char* belowRoot, int hostFd, uint64_t size,
                                 int force, const char** why, char* words, size_t wordsCapacity) {
  *why = nullptr;
  Put(words, wordsCapacity, "");
  if (!volume.writeNew || !volume.putWhole) {
    *why = "the volume is open read-only";
    return kRestoreFailed;
  }
  // Each folder on the way must be a folder, not a link.
  std::string path;
  const char* start = belowRoot;
  for (;;) {
    const char* end = strchr(start, '\\');
    std::string part = end ? std::string(start, static_cast<size_t>(end - start)) : std::string(start);
    if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos) {
      *why = "its path would leave its drive (an empty, \".\" or \"..\" part)";
      return kRestoreFailed;
    }
    path = Join(path, part);
    if (path.empty()) {
      *why = "its path is too long";
      return kRestoreFailed;
    }
    if (!end) break;
    VolumeEntry entry{};
    int missing = 0;
    if (!volume.look(volume.context, path.c_str(), &entry, &missing, words, wordsCapacity) ||
        entry.kind != kVolumeFolder) {
      Put(words, wordsCapacity, "");
      *why = "a folder on its way is missing, a link or no folder";
      return kRestoreFailed;
    }
    start = end + 1;
  }
  VolumeEntry there{};
  int missing = 0;
  if (!volume.look(volume.context, path.c_str(), &there, &missing, words, wordsCapacity) && !missing)
    return kRestoreFailed;
  if (!missing) {
    if (!force) return kRestoreExists;
    if (there.kind != kVolumeFile) {
      *why = "what is in its place is no regular file";
      return kRestoreFailed;
    }
    return volume.putWhole(volume.context, path.c_str(), hostFd, size, words, wordsCapacity) ? kRestoreDone
                                                                                             : kRestoreFailed;
  }
  if (volume.writeNew(volume.context, path.c_str(), hostFd, size, words, wordsCapacity)) return kRestoreDone;
  // Something that appeared meanwhile still wins.
  char ignored[64];
  missing = 0;
  if (!force && volume.look(volume.context, path.c_str(), &there, &missing, ignored, sizeof ignored))
    return kRestoreExists;
  return kRestoreFailed;
}

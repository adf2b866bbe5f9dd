// The Run values a writing run would delete, read from host copies of an
// image's hives (see run_value_preview_posix.h).
#include "image/run_value_preview_posix.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "remedy/hive_posix.h"
#include "remedy/offline_windows.h"
#include "sys/owned_fd_posix.h"

namespace {

struct HeldDeletion {
  std::string hive, key, valueName, data, refersTo;
};

void OnDeleted(void* context, const char* hive, const char* key, const char* valueName, const char* commandLine,
               const char* windowsPath) {
  static_cast<std::vector<HeldDeletion>*>(context)->push_back(
      HeldDeletion{hive, key, valueName, commandLine, windowsPath});
}

struct Named {
  std::string name;
  VolumeEntryKind kind;
};

// The entries of `folder` named `name` in any case; every entry when `name`
// is null. 0 when the folder cannot be listed.
int EntriesNamed(const OfflineVolumePort& volume, const std::string& folder, const char* name,
                 std::vector<Named>* out) {
  struct Collect {
    const char* name;
    std::vector<Named>* out;
  } collect{name, out};
  char why[256];
  return volume.list(
      volume.context, folder.c_str(),
      [](void* context, const VolumeEntry& entry) -> int {
        Collect* c = static_cast<Collect*>(context);
        if (!c->name || strcasecmp(c->name, entry.name) == 0) c->out->push_back(Named{entry.name, entry.kind});
        return 1;
      },
      &collect, why, sizeof why);
}

// The folder of `folder` named `name` in any case, its exact spelling
// first; "" when there is none.
std::string FolderNamed(const OfflineVolumePort& volume, const std::string& folder, const char* name) {
  std::vector<Named> found;
  if (!EntriesNamed(volume, folder, name, &found)) return "";
  std::string spelt;
  for (const Named& n : found) {
    if (n.kind != kVolumeFolder) continue;
    if (n.name == name) return n.name;
    if (spelt.empty()) spelt = n.name;
  }
  return spelt;
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

struct Job {
  const OfflineVolumePort* volume;
  char drive[3];  // "C:"
  const char* imageName;
  const char* systemFolder;
  const char* const* removed;
  uint32_t count;
  const RunValueListener* listener;
};

std::string Shown(const Job& job, const std::string& path) {
  std::string windows = path;
  for (char& c : windows)
    if (c == '/') c = '\\';
  return std::string(job.imageName) + ":" + job.drive + "\\" + windows;
}

void Trouble(const Job& job, RunValueTrouble kind, const std::string& where, const std::string& why) {
  TellRunValueTrouble(job.listener, kind, where.c_str(), why.c_str());
}

// Reads the hive at `path` from a host copy and tells what would go.
void PreviewHive(const Job& job, const std::string& path, const std::string& user,
                 const OfflineEnvironment& environment, int machine) {
  std::string shown = Shown(job, path);
  const char* tmpdir = getenv("TMPDIR");
  std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/quellix-hive-XXXXXX";
  std::vector<char> folderName(pattern.begin(), pattern.end());
  folderName.push_back(0);
  if (!mkdtemp(folderName.data())) {
    Trouble(job, kRunValuesFailed, shown, std::string("no host folder for its copy: ") + std::strerror(errno));
    return;
  }
  const char* copyName = machine ? "SOFTWARE" : "NTUSER.DAT";
  OwnedFd folder(open(folderName.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
  char why[1024] = "";
  int copied = 0;
  if (folder.valid()) {
    OwnedFd copy(openat(folder.get(), copyName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    copied = copy.valid() && job.volume->fetch(job.volume->context, path.c_str(), copy.get(), why, sizeof why) &&
             copy.close();
  }
  if (!copied) {
    Trouble(job, kRunValuesFailed, shown, std::string("not read: ") + (why[0] ? why : std::strerror(errno)));
  } else {
    std::vector<HeldDeletion> held;
    HiveCleanRequest request{folder.get(), copyName,     shown.c_str(), user.c_str(), job.removed,
                             job.count,    &environment, nullptr,       machine,      1};
    uint32_t deleted = 0, kept = 0;
    std::vector<char> reason(4096);
    HiveCleanOutcome outcome =
        CleanHiveRunValues(request, HiveValueListener{OnDeleted, &held}, &deleted, &kept, reason.data(), reason.size());
    if (outcome != kHiveCleanDone) {
      Trouble(job,
              outcome == kHiveRefusedLog || outcome == kHiveRefusedReadOnly || outcome == kHiveRefusedShape
                  ? kRunValuesRefused
                  : kRunValuesFailed,
              shown, reason.data());
    } else {
      for (const HeldDeletion& d : held) {
        RunValueDeletion deletion{
            d.hive.c_str(), d.key.c_str(), d.valueName.c_str(), d.data.c_str(), d.refersTo.c_str(), "", 1};
        TellRunValueDeleted(job.listener, deletion);
      }
      TellRunValuesExamined(job.listener, shown.c_str(), deleted);
      if (kept) Trouble(job, kRunValuesFailed, shown, reason.data());
    }
  }
  if (folder.valid()) unlinkat(folder.get(), copyName, 0);
  rmdir(folderName.data());
}

void Environment(const Job& job, const std::string* profile, OfflineEnvironment* environment) {
  environment->count = 0;
  std::string root = std::string(job.drive) + "\\" + job.systemFolder;
  SetOfflineVariable(environment, "SystemRoot", root.c_str());
  SetOfflineVariable(environment, "windir", root.c_str());
  SetOfflineVariable(environment, "SystemDrive", job.drive);
  if (!profile) return;
  std::string windows = std::string(job.drive) + "\\" + *profile;
  for (char& c : windows)
    if (c == '/') c = '\\';
  SetOfflineVariable(environment, "USERPROFILE", windows.c_str());
  SetOfflineVariable(environment, "HOMEDRIVE", job.drive);
  SetOfflineVariable(environment, "HOMEPATH", windows.c_str() + 2);
}

void PreviewProfile(const Job& job, const std::string& profile, const std::string& user) {
  std::vector<Named> hives;
  if (!EntriesNamed(*job.volume, profile, "NTUSER.DAT", &hives) || hives.empty()) return;
  std::string first = Join(profile, hives[0].name);
  if (hives.size() > 1) {
    Trouble(job, kRunValuesNotCleaned, Shown(job, first),
            "the profile holds two hives whose names differ only in case");
    return;
  }
  if (hives[0].kind != kVolumeFile) {
    Trouble(job, kRunValuesNotCleaned, Shown(job, first), "it is a link or no regular file");
    return;
  }
  std::vector<OfflineEnvironment> holder(1);
  Environment(job, &profile, &holder[0]);
  PreviewHive(job, first, user, holder[0], 0);
}

}  // namespace

void PreviewImageRunValues(const OfflineVolumePort& system, char letter, const char* systemFolder,
                           const char* imageName, const char* const* removedWindowsPaths, uint32_t count,
                           const RunValueListener& listener) {
  if (count == 0) return;
  Job job{&system, {letter, ':', 0}, imageName, systemFolder, removedWindowsPaths, count, &listener};
  for (const char* top : {"Documents and Settings", "Users"}) {
    std::string spelt = FolderNamed(system, "", top);
    if (spelt.empty()) continue;
    std::vector<Named> users;
    if (!EntriesNamed(system, spelt, nullptr, &users)) {
      Trouble(job, kRunValuesFailed, Shown(job, spelt), "the profiles cannot be listed");
      continue;
    }
    for (const Named& u : users)
      if (u.kind == kVolumeFolder) PreviewProfile(job, Join(spelt, u.name), u.name);
  }
  std::string folder;
  for (const char* step : {systemFolder, "system32", "config"}) {
    std::string spelt = FolderNamed(system, folder, step);
    if (spelt.empty()) return;
    folder = Join(folder, spelt);
  }
  std::vector<Named> hives;
  if (!EntriesNamed(system, folder, "SOFTWARE", &hives) || hives.empty()) return;
  if (hives.size() > 1) {
    Trouble(job, kRunValuesNotCleaned, Shown(job, Join(folder, hives[0].name)),
            "two hives there have names that differ only in case");
    return;
  }
  if (hives[0].kind != kVolumeFile) return;
  std::vector<OfflineEnvironment> holder(1);
  Environment(job, nullptr, &holder[0]);
  PreviewHive(job, Join(folder, hives[0].name), "system", holder[0], 1);
}

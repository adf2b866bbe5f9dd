// One hive of a volume cleaned on the host (see volume_hive_posix.h).
#include "remedy/volume_hive_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sys/owned_fd_posix.h"

namespace {

struct HeldDeletion {
  std::string hive, key, valueName, data, refersTo;
};

// A value is told gone only once its hive is back in the volume.
void Hold(void* context, const char* hive, const char* key, const char* valueName, const char* commandLine,
          const char* windowsPath) {
  static_cast<std::vector<HeldDeletion>*>(context)->push_back(
      HeldDeletion{hive, key, valueName, commandLine, windowsPath});
}

// A private host folder for one hive at a time, emptied and removed when
// it goes.
struct HostFolder {
  std::string path;
  OwnedFd fd;
  const char* name = nullptr;
  ~HostFolder() {
    if (path.empty()) return;
    if (fd.valid() && name) unlinkat(fd.get(), name, 0);
    rmdir(path.c_str());
  }
};

int MakeHostFolder(HostFolder* folder) {
  const char* tmpdir = getenv("TMPDIR");
  std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/quellix-hive-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  if (!mkdtemp(name.data())) return 0;
  folder->path = name.data();
  folder->fd.reset(open(name.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
  return folder->fd.valid();
}

HiveCleanOutcome Say(char* reason, size_t capacity, HiveCleanOutcome outcome, const std::string& text) {
  if (capacity) snprintf(reason, capacity, "%s", text.c_str());
  return outcome;
}

// The volume's hive as it is now, to be compared before it is replaced.
int LookAtHive(const OfflineVolumePort& volume, const char* path, VolumeEntry* entry, std::string* why) {
  char words[512] = "";
  int missing = 0;
  if (volume.look(volume.context, path, entry, &missing, words, sizeof words)) return 1;
  *why = words;
  return 0;
}

HiveCleanOutcome CleanOnHost(void* context, const OfflineVolumePort& volume, const VolumeHive& hive,
                             const RunValueListener& listener, uint32_t* deleted, uint32_t* kept, char* reason,
                             size_t capacity) {
  HiveBackup* backup = static_cast<HiveBackup*>(context);
  *deleted = 0;
  *kept = 0;
  int preview = RunValuesPreviewed(&listener);
  VolumeEntry before{};
  std::string why;
  if (!LookAtHive(volume, hive.path, &before, &why))
    return Say(reason, capacity, kHiveCleanFailed, "cannot be read: " + why);
  if (before.kind != kVolumeFile) return Say(reason, capacity, kHiveRefusedShape, "it is no regular file");
  if (before.size > kMaxHiveSize)
    return Say(reason, capacity, kHiveRefusedShape, "it is larger than any user hive (over 256 MiB)");

  const char* copyName = hive.machineHive ? "SOFTWARE" : "NTUSER.DAT";
  HostFolder host;
  if (!MakeHostFolder(&host))
    return Say(reason, capacity, kHiveCleanFailed, std::string("no host folder for its copy: ") + strerror(errno));
  host.name = copyName;
  {
    char words[512] = "";
    OwnedFd copy(openat(host.fd.get(), copyName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!copy.valid()) snprintf(words, sizeof words, "%s", strerror(errno));
    if (!copy.valid() || !volume.fetch(volume.context, hive.path, copy.get(), words, sizeof words) || !copy.close())
      return Say(reason, capacity, kHiveCleanFailed, std::string("cannot be read: ") + words);
  }

  std::vector<HeldDeletion> held;
  HiveCleanRequest request{host.fd.get(), copyName, hive.shown, hive.user, hive.removedWindowsPaths,
                           hive.removedCount, hive.environment, backup, hive.machineHive, preview};
  HiveCleanOutcome outcome =
      CleanHiveRunValues(request, HiveValueListener{Hold, &held}, deleted, kept, reason, capacity);
  if (outcome != kHiveCleanDone) return outcome;
  if (*deleted && !preview) {
    // The cleaned hive goes in whole, only in place of the file fetched.
    std::string left = std::string(" (its backup is in ") + backup->folder + ")";
    VolumeEntry now{};
    if (!LookAtHive(volume, hive.path, &now, &why) || now.kind != kVolumeFile || now.identity != before.identity ||
        now.size != before.size)
      return *deleted = 0, Say(reason, capacity, kHiveCleanFailed,
                               "it was replaced while it was being cleaned, so it is not changed" + left);
    OwnedFd cleaned(openat(host.fd.get(), copyName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st;
    char words[512] = "";
    int put = 0;
    if (!volume.putWhole)
      snprintf(words, sizeof words, "%s", "the volume is open read-only");
    else if (!cleaned.valid() || fstat(cleaned.get(), &st) != 0)
      snprintf(words, sizeof words, "%s", strerror(errno));
    else
      put = volume.putWhole(volume.context, hive.path, cleaned.get(), static_cast<uint64_t>(st.st_size), words,
                            sizeof words);
    if (!put)
      return *deleted = 0, Say(reason, capacity, kHiveCleanFailed,
                               std::string("the cleaned hive could not be put back: ") + words + left);
  }
  for (const HeldDeletion& d : held) {
    RunValueDeletion deletion{d.hive.c_str(), d.key.c_str(),      d.valueName.c_str(),
                              d.data.c_str(), d.refersTo.c_str(), preview ? "" : backup->regFile,
                              preview};
    TellRunValueDeleted(&listener, deletion);
  }
  return kHiveCleanDone;
}

}  // namespace

VolumeHiveCleaner HostHiveCleaner(HiveBackup* backup) { return VolumeHiveCleaner{CleanOnHost, backup}; }

void PreviewVolumeRunValues(const OfflineVolumePort& system, const char* rowPrefix, const char* systemRoot,
                            const char* const* windowsPaths, uint32_t count, const RunValueListener& listener) {
  RunValueListener preview = listener;
  preview.preview = 1;
  OfflineVolumePort readOnly = system;
  readOnly.putWhole = nullptr;
  readOnly.remove = nullptr;
  readOnly.writeNew = nullptr;
  char letter = 0;
  const char* systemFolder = nullptr;
  if (systemRoot && systemRoot[0] && systemRoot[1] == ':' && systemRoot[2] == '\\') {
    letter = static_cast<char>(systemRoot[0] & ~0x20);
    if (systemRoot[3] && !strchr(systemRoot + 3, '\\')) systemFolder = systemRoot + 3;
  }
  VolumeRunValueRequest request{rowPrefix, 1, letter, systemRoot ? systemRoot : "", systemFolder, windowsPaths,
                                count};
  CleanVolumeRunValues(readOnly, request, HostHiveCleaner(nullptr), preview);
}

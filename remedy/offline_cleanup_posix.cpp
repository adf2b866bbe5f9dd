// The registry side of a mounted volume's scan (see offline_cleanup_posix.h).
#include "remedy/offline_cleanup_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "remedy/command_line.h"
#include "remedy/hive_posix.h"
#include "remedy/offline_volume_posix.h"
#include "remedy/volume_hive_posix.h"
#include "sys/owned_fd_posix.h"

namespace {

void Tell(const OfflineNotice& notice, const char* text, const char* where = nullptr, const char* reason = nullptr) {
  if (notice.notice) notice.notice(notice.context, text, where, reason);
}

}  // namespace

int SetUpOfflineSystem(const OfflineRequest& request, OfflineSystem* offline, const OfflineNotice& notice) {
  memset(offline, 0, sizeof *offline);
  char canonical[kMountedPathCapacity];
  std::string text;
  if (request.windowsRoot) {
    if (!realpath(request.windowsRoot, canonical) ||
        !FindSystemFolder(canonical, offline->systemFolder, sizeof offline->systemFolder)) {
      text = std::string(request.windowsRoot) + ": no WINDOWS or WINNT folder there";
      Tell(notice, text.c_str());
      return 0;
    }
    offline->known = 1;
  } else {
    for (uint32_t i = 0; i < request.pathCount && !offline->known; ++i) {
      struct stat st;
      if (stat(request.paths[i], &st) != 0 || !S_ISDIR(st.st_mode) || !realpath(request.paths[i], canonical)) continue;
      offline->known = FindSystemFolder(canonical, offline->systemFolder, sizeof offline->systemFolder);
    }
  }
  if (offline->known) {
    memcpy(offline->root, canonical, sizeof canonical);
    offline->letter = 'C';
    snprintf(offline->systemRoot, sizeof offline->systemRoot, "C:\\%s", offline->systemFolder);
    // The system's own record of where it lives, when its SOFTWARE hive is
    // there: a detection-only run's preview of Run values matches by it too
    // (read from a copy in memory, leaving the access time alone).
    char folder[kMountedPathCapacity], system32[kMountedPathCapacity], config[kMountedPathCapacity],
        software[kMountedPathCapacity], recorded[kEnvironmentValueCapacity];
    const char* const key[] = {"Microsoft", "Windows NT", "CurrentVersion"};
    snprintf(folder, sizeof folder, "%s/%s", offline->root, offline->systemFolder);
    if (FindEntryIgnoringCase(folder, "system32", 1, system32, sizeof system32) &&
        FindEntryIgnoringCase(system32, "config", 1, config, sizeof config) &&
        FindEntryIgnoringCase(config, "SOFTWARE", 0, software, sizeof software) &&
        ReadHiveString(software, key, 3, "SystemRoot", recorded, sizeof recorded) && recorded[1] == ':' &&
        ((recorded[0] >= 'A' && recorded[0] <= 'Z') || (recorded[0] >= 'a' && recorded[0] <= 'z'))) {
      offline->letter = static_cast<char>(recorded[0] & ~0x20);
      memcpy(offline->systemRoot, recorded, sizeof recorded);
    }
    SetOfflineDrive(&offline->drives, offline->letter, offline->root);
    offline->windows9x = IsWindows9xVolume(offline->root, offline->systemFolder);
  }
  for (uint32_t i = 0; i < request.driveCount; ++i) {
    if (!realpath(request.drives[i].directory, canonical)) {
      text = std::string(request.drives[i].directory) + ": " + strerror(errno);
      Tell(notice, text.c_str());
      return 0;
    }
    SetOfflineDrive(&offline->drives, request.drives[i].letter, canonical);
  }
  return 1;
}

int RefusesToWrite(const OfflineSystem& offline, const char* const* given, uint32_t count,
                   const OfflineNotice& notice) {
  std::vector<const char*> places(given, given + count);
  if (offline.known) places.push_back(offline.root);
  for (uint32_t i = 0; i < offline.drives.count; ++i) places.push_back(offline.drives.drives[i].mounted);
  for (const char* place : places) {
    char hiberfil[kMountedPathCapacity] = "", why[320] = "";
    struct stat st;
    // A PATH is usually the volume's mount point; when it is not, the
    // volume's root is where its mount begins.
    HibernationState state = kNotHibernated;
    if (stat(place, &st) == 0 && S_ISDIR(st.st_mode))
      state = HoldsHibernatedFile(place, hiberfil, sizeof hiberfil, why, sizeof why);
    if (state == kNotHibernated) state = IsOnHibernatedVolume(place, hiberfil, sizeof hiberfil, why, sizeof why);
    const int hibernated = state == kHibernated;
    if (IsOnReadOnlyMount(place)) {
      std::string text = std::string("refusing to write to ") + place + ": it is on a read-only mount";
      Tell(notice, text.c_str(), place, "it is on a read-only mount");
      return 1;
    }
    if (hibernated) {
      std::string text = std::string("refusing to write: ") + hiberfil +
                         " holds a hibernated Windows; writing to its volume would corrupt it (start that Windows "
                         "and shut it down fully, or scan without --remove and --quarantine)";
      Tell(notice, text.c_str(), hiberfil, "hibernated");
      return 1;
    }
    if (state == kHibernationUnknown) {
      std::string reason = std::string("cannot tell whether it is hibernated: ") + why;
      std::string text = std::string("refusing to write: cannot tell whether ") + place +
                         " is on a hibernated Windows: " + hiberfil + ": " + why +
                         " (make it readable, or scan without --remove and --quarantine)";
      Tell(notice, text.c_str(), hiberfil, reason.c_str());
      return 1;
    }
  }
  return 0;
}

void CleanOfflineRunValues(const OfflineSystem& offline, const char* const* removedPaths, uint32_t count,
                           HiveBackup* backup, const RunValueListener& listener) {
  if (count == 0) return;
  // A detection-only run with no system to look at has nothing to preview.
  if (RunValuesPreviewed(&listener) && (!offline.known || offline.windows9x)) return;
  if (!offline.known) {
    TellRunValueTrouble(&listener, kRunValuesNotCleaned, "Run values",
                        "not examined: no Windows system volume among the PATHs (name it with --windows-root, then "
                        "finish the clean with --finish)");
    return;
  }
  if (offline.windows9x) {
    std::string folder = std::string(offline.root) + "/" + offline.systemFolder;
    TellRunValueTrouble(&listener, kRunValuesNotCleaned, folder.c_str(),
                        "holds Windows 9x, whose USER.DAT is no NT hive");
    return;
  }
  std::vector<std::string> windowsPaths;
  for (uint32_t i = 0; i < count; ++i) {
    std::string removed = removedPaths[i];
    size_t slash = removed.rfind('/');
    std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : removed.substr(0, slash);
    std::string base = slash == std::string::npos ? removed : removed.substr(slash + 1);
    char canonical[kMountedPathCapacity], windows[kMountedPathCapacity];
    // A name with a '\' (or another character no Windows name holds) can
    // be started by no Windows path: read as one, it would name another file.
    if (realpath(directory.c_str(), canonical) &&
        HoldsNonWindowsNameOnDrive(offline.drives, (std::string(canonical) + "/" + base).c_str()))
      continue;
    if (realpath(directory.c_str(), canonical) &&
        WindowsPathOf(offline.drives, (std::string(canonical) + "/" + base).c_str(), windows, sizeof windows)) {
      if (ReferredPathFits(windows)) {
        windowsPaths.push_back(windows);
      } else {
        TellRunValueTrouble(&listener, kRunValuesNotCleaned, removed.c_str(), kReferredPathTooLong);
      }
    } else {
      TellRunValueTrouble(&listener, kRunValuesNotCleaned, removed.c_str(),
                          "is on no drive: no drive letter holds it (see --drive), so Run values naming it are not "
                          "looked for");
    }
  }
  MountedVolume volume;
  OfflineVolumePort port;
  char why[256];
  int preview = RunValuesPreviewed(&listener);
  if (!OpenMountedVolume(offline.root, !preview, &volume, &port, why, sizeof why)) {
    TellRunValueTrouble(&listener, kRunValuesFailed, offline.root, why);
    return;
  }
  std::vector<const char*> paths;
  for (const std::string& p : windowsPaths) paths.push_back(p.c_str());
  std::string prefix = std::string(offline.root) + (std::strcmp(offline.root, "/") == 0 ? "" : "/");
  VolumeRunValueRequest request{prefix.c_str(),      0,           offline.letter,
                                offline.systemRoot,  offline.systemFolder, paths.data(),
                                static_cast<uint32_t>(paths.size())};
  CleanVolumeRunValues(port, request, HostHiveCleaner(backup), listener);
}

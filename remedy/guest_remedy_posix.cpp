// Changes inside a disk image (see guest_remedy_posix.h).
#include "remedy/guest_remedy_posix.h"

#include <fcntl.h>
#include <guestfs.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "remedy/name_escape.h"
#include "remedy/offline_cleanup_posix.h"
#include "remedy/offline_windows.h"
#include "engine/sha256.h"
#include "sys/owned_fd_posix.h"

namespace {

// The entry of `folder` named `name` ignoring ASCII case (an exact match
// wins), as spelt there; "" when there is none.
std::string FindIgnoringCase(guestfs_h* g, const std::string& folder, const char* name) {
  OwnedGuestStrings entries(guestfs_ls(g, folder.c_str()));
  std::string found;
  for (char** e = entries.list; e && *e; ++e) {
    if (strcmp(*e, name) == 0) return *e;
    if (found.empty() && strcasecmp(*e, name) == 0) found = *e;
  }
  return found;
}

// Every spelling of the name, since two may exist side by side.
std::vector<std::string> AllIgnoringCase(guestfs_h* g, const std::string& folder, const char* name) {
  OwnedGuestStrings entries(guestfs_ls(g, folder.c_str()));
  std::vector<std::string> found;
  for (char** e = entries.list; e && *e; ++e)
    if (strcasecmp(*e, name) == 0) found.push_back(*e);
  return found;
}

int IsPlainFile(guestfs_h* g, const std::string& path) {
  struct guestfs_statns* st = guestfs_lstatns(g, path.c_str());
  int plain = st && S_ISREG(static_cast<mode_t>(st->st_mode));
  if (st) guestfs_free_statns(st);
  return plain;
}

// A staging name of this run in `folder` that nothing in the guest holds
// (a link the guest left under a name of ours would send our bytes
// elsewhere), or "" when none is free.
std::string FreshStagingName(guestfs_h* g, const std::string& folder, const char* kind, const std::string& name) {
  static uint32_t serial = 0;
  for (int tries = 0; tries < 100; ++tries) {
    std::string path = folder + "/.quellix-" + kind + "-" + std::to_string(getpid()) + "-" +
                       std::to_string(++serial) + "-" + name;
    struct guestfs_statns* st = guestfs_lstatns(g, path.c_str());
    if (st) {
      guestfs_free_statns(st);
      continue;
    }
    if (guestfs_last_errno(g) == ENOENT) return path;
    return "";
  }
  return "";
}

int IsPlainFolder(guestfs_h* g, const std::string& path) {
  struct guestfs_statns* st = guestfs_lstatns(g, path.c_str());
  int plain = st && S_ISDIR(static_cast<mode_t>(st->st_mode));
  if (st) guestfs_free_statns(st);
  return plain;
}

std::string Shown(const char* imageName, const GuestDrive& drive, const std::string& appliancePath) {
  char windows[4096];
  if (!GuestWindowsPath(drive, appliancePath.c_str(), windows, sizeof windows)) return appliancePath;
  return std::string(imageName) + ":" + windows;
}

int Sha256OfFd(int fd, char hex[kSha256HexSize]) {
  Sha256State sha;
  BeginSha256(&sha);
  unsigned char block[65536];
  off_t at = 0;
  ssize_t got;
  while ((got = pread(fd, block, sizeof block, at)) > 0) {
    AddSha256(&sha, block, static_cast<size_t>(got));
    at += got;
  }
  if (got < 0) return 0;
  unsigned char digest[kSha256DigestSize];
  EndSha256(&sha, digest);
  Sha256Hex(digest, hex);
  return 1;
}

struct HeldDeletion {
  std::string hive, key, valueName, data, refersTo;
};

struct HiveRun {
  std::vector<HeldDeletion> deletions;
};

void OnDeleted(void* context, const char* hive, const char* key, const char* valueName, const char* commandLine,
               const char* windowsPath) {
  static_cast<HiveRun*>(context)->deletions.push_back(HeldDeletion{hive, key, valueName, commandLine, windowsPath});
}

// A private host folder for one hive at a time.
struct HostFolder {
  std::string path;
  OwnedFd fd;
  ~HostFolder() {
    if (path.empty()) return;
    if (fd.valid()) {
      unlinkat(fd.get(), "NTUSER.DAT", 0);
    }
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

struct ProfileJob {
  GuestDisk* disk;
  const char* imageName;
  const GuestDrive* drive;
  const std::vector<const char*>* removed;
  HiveBackup* backup;
  const RunValueListener* listener;
};

void Trouble(const ProfileJob& job, RunValueTrouble kind, const std::string& where, const std::string& why) {
  TellRunValueTrouble(job.listener, kind, where.c_str(), why.c_str());
}

// What the system tells about itself (the hive's own Environment key is
// added by the hive code); a profile adds where it lives.
void GuestEnvironment(const ProfileJob& job, const std::string* profile, OfflineEnvironment* environment) {
  environment->count = 0;
  char drive[3] = {job.drive->label[0], ':', 0};
  if (job.disk->systemRoot[0]) {
    SetOfflineVariable(environment, "SystemRoot", job.disk->systemRoot);
    SetOfflineVariable(environment, "windir", job.disk->systemRoot);
    drive[0] = job.disk->systemRoot[0];
  }
  SetOfflineVariable(environment, "SystemDrive", drive);
  char windowsProfile[kEnvironmentValueCapacity];
  if (profile && GuestWindowsPath(*job.drive, profile->c_str(), windowsProfile, sizeof windowsProfile) &&
      strlen(job.drive->label) == 1) {
    SetOfflineVariable(environment, "USERPROFILE", windowsProfile);
    char home[3] = {windowsProfile[0], ':', 0};
    SetOfflineVariable(environment, "HOMEDRIVE", home);
    SetOfflineVariable(environment, "HOMEPATH", windowsProfile + 2);
  }
}

// Cleans the hive `folder`/`spelt` (a profile's NTUSER.DAT, or the SOFTWARE
// hive: `machine`) through a copy on the host, and puts the cleaned hive
// back whole. `copyName` names the copy (and its backup).
void CleanGuestHive(const ProfileJob& job, const std::string& folder, const std::string& spelt, const char* copyName,
                    const std::string& user, const OfflineEnvironment& environment, int machine) {
  guestfs_h* g = job.disk->handle;
  std::string hive = folder + "/" + spelt;
  std::string shown = Shown(job.imageName, *job.drive, hive);
  if (!IsPlainFile(g, hive)) {
    Trouble(job, kRunValuesNotCleaned, shown, "it is a link or no regular file");
    return;
  }
  HostFolder host;
  if (!MakeHostFolder(&host)) {
    Trouble(job, kRunValuesFailed, shown, std::string("no host folder for its copy: ") + strerror(errno));
    return;
  }
  {
    OwnedFd copy(openat(host.fd.get(), copyName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!copy.valid() || !DownloadGuestFile(job.disk, hive.c_str(), copy.get()) || !copy.close()) {
      Trouble(job, kRunValuesFailed, shown, std::string("not downloaded: ") + GuestError(job.disk));
      return;
    }
  }
  HiveRun run;
  int preview = RunValuesPreviewed(job.listener);
  HiveCleanRequest request{host.fd.get(), copyName, shown.c_str(), user.c_str(), job.removed->data(),
                           static_cast<uint32_t>(job.removed->size()), &environment, job.backup, machine, preview};
  uint32_t deleted = 0, kept = 0;
  std::vector<char> reason(4096);
  HiveCleanOutcome outcome = CleanHiveRunValues(request, HiveValueListener{OnDeleted, &run}, &deleted, &kept,
                                                reason.data(), reason.size());
  if (outcome != kHiveCleanDone) {
    Trouble(job,
            outcome == kHiveRefusedLog || outcome == kHiveRefusedReadOnly || outcome == kHiveRefusedShape
                ? kRunValuesRefused
                : kRunValuesFailed,
            shown, reason.data());
    return;
  }
  if (deleted && !preview) {
    // The cleaned hive goes in whole beside the old one, is compared with
    // the host's copy, and only then takes its name.
    std::string incoming = FreshStagingName(g, folder, "incoming", spelt);
    OwnedFd cleaned(openat(host.fd.get(), copyName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    char hostHex[kSha256HexSize] = "";
    char through[64];
    snprintf(through, sizeof through, "/dev/fd/%d", cleaned.get());
    int placed = !incoming.empty() && cleaned.valid() && Sha256OfFd(cleaned.get(), hostHex) &&
                 guestfs_upload(g, through, incoming.c_str()) == 0 && IsPlainFile(g, incoming);
    char* guestHex = placed ? guestfs_checksum(g, "sha256", incoming.c_str()) : nullptr;
    placed = guestHex && strcmp(guestHex, hostHex) == 0 && IsPlainFile(g, incoming) &&
             guestfs_rename(g, incoming.c_str(), hive.c_str()) == 0 && guestfs_sync(g) == 0;
    free(guestHex);
    if (!placed) {
      std::string why = std::string("the cleaned hive could not be put back: ") +
                        (incoming.empty() ? "no staging name of this run is free" : GuestError(job.disk));
      if (!incoming.empty() && IsPlainFile(g, incoming)) guestfs_rm_f(g, incoming.c_str());
      Trouble(job, kRunValuesFailed, shown, why + " (its backup is in " + job.backup->folder + ")");
      return;
    }
  }
  for (const HeldDeletion& d : run.deletions) {
    RunValueDeletion deletion{d.hive.c_str(),     d.key.c_str(), d.valueName.c_str(),
                              d.data.c_str(),     d.refersTo.c_str(), preview ? "" : job.backup->regFile,
                              preview};
    TellRunValueDeleted(job.listener, deletion);
  }
  TellRunValuesExamined(job.listener, shown.c_str(), deleted);
  if (kept) Trouble(job, kRunValuesFailed, shown, reason.data());
}

void CleanProfile(const ProfileJob& job, const std::string& profile, const std::string& user) {
  guestfs_h* g = job.disk->handle;
  std::vector<std::string> hives = AllIgnoringCase(g, profile, "NTUSER.DAT");
  if (hives.empty()) return;
  if (hives.size() > 1) {
    Trouble(job, kRunValuesNotCleaned, Shown(job.imageName, *job.drive, profile + "/" + hives[0]),
            "the profile holds two hives whose names differ only in case");
    return;
  }
  std::vector<OfflineEnvironment> holder(1);
  GuestEnvironment(job, &profile, &holder[0]);
  CleanGuestHive(job, profile, hives[0], "NTUSER.DAT", user, holder[0], 0);
}

// HKEY_LOCAL_MACHINE's Run and RunOnce: the SOFTWARE hive of the system
// folder (each step found in any case, as Windows names them).
void CleanMachineHive(const ProfileJob& job) {
  const char* systemRoot = job.disk->systemRoot;
  if (!systemRoot[0] || std::toupper(static_cast<unsigned char>(systemRoot[0])) != job.drive->label[0] ||
      systemRoot[1] != ':' || systemRoot[2] != '\\' || std::strchr(systemRoot + 3, '\\') || !systemRoot[3])
    return;
  guestfs_h* g = job.disk->handle;
  std::string folder = job.drive->mountPoint;
  for (const char* step : {systemRoot + 3, "system32", "config"}) {
    std::string spelt = FindIgnoringCase(g, folder, step);
    if (spelt.empty() || !IsPlainFolder(g, folder + "/" + spelt)) return;
    folder += "/" + spelt;
  }
  std::vector<std::string> hives = AllIgnoringCase(g, folder, "SOFTWARE");
  if (hives.empty()) return;
  if (hives.size() > 1) {
    Trouble(job, kRunValuesNotCleaned, Shown(job.imageName, *job.drive, folder + "/" + hives[0]),
            "two hives there have names that differ only in case");
    return;
  }
  std::vector<OfflineEnvironment> holder(1);
  GuestEnvironment(job, nullptr, &holder[0]);
  CleanGuestHive(job, folder, hives[0], "SOFTWARE", "system", holder[0], 1);
}

}  // namespace

RemovalOutcome RemoveGuestFile(GuestDisk* disk, const char* appliancePath, const FileIdentity& checked,
                               uint64_t size) {
  struct guestfs_statns* st = guestfs_lstatns(disk->handle, appliancePath);
  if (!st) return kRemovalFailed;
  FileIdentity now{static_cast<uint64_t>(st->st_dev), static_cast<uint64_t>(st->st_ino), 1};
  int same = S_ISREG(static_cast<mode_t>(st->st_mode)) && SameFileIdentity(now, checked) &&
             static_cast<uint64_t>(st->st_size) == size;
  guestfs_free_statns(st);
  if (!same) return kRemovalNotSame;
  return guestfs_rm(disk->handle, appliancePath) == 0 ? kRemovalDone : kRemovalFailed;
}

namespace {

// The file taken from an image: its bytes come from a host copy downloaded
// first; the image's own file goes only once the line is written.
struct GuestOriginal {
  int stagedFd;
  GuestDisk* disk;
  const char* appliancePath;
  FileIdentity checked;
  uint64_t size;
  char reason[kQuarantineReasonCapacity];
};

int GuestOriginalRead(void* context, void* data, size_t capacity, size_t* got) {
  GuestOriginal* o = static_cast<GuestOriginal*>(context);
  for (;;) {
    ssize_t n = read(o->stagedFd, data, capacity);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      snprintf(o->reason, sizeof o->reason, "%s", strerror(errno));
      return 0;
    }
    *got = static_cast<size_t>(n);
    return 1;
  }
}

QuarantineOutcome GuestOriginalRemove(void* context, char* why, size_t capacity) {
  GuestOriginal* o = static_cast<GuestOriginal*>(context);
  RemovalOutcome removal = RemoveGuestFile(o->disk, o->appliancePath, o->checked, o->size);
  if (removal == kRemovalDone) return kQuarantineDone;
  if (removal == kRemovalNotSame) return kQuarantineNotSame;
  snprintf(why, capacity, "%s", GuestError(o->disk));
  return kQuarantineKeptCopy;
}

void GuestOriginalReason(void* context, char* out, size_t capacity) {
  snprintf(out, capacity, "%s", static_cast<GuestOriginal*>(context)->reason);
}

}  // namespace

QuarantineOutcome QuarantineGuestFile(QuarantineStore* store, GuestDisk* disk, const char* imageName,
                                      const GuestDrive& drive, const char* appliancePath,
                                      const FileIdentity& checked, uint64_t size, const char* detectionName,
                                      char* why, size_t capacity) {
  struct guestfs_statns* st = guestfs_lstatns(disk->handle, appliancePath);
  if (!st) {
    snprintf(why, capacity, "not quarantined: %s", GuestError(disk));
    return kQuarantineFailed;
  }
  FileIdentity now{static_cast<uint64_t>(st->st_dev), static_cast<uint64_t>(st->st_ino), 1};
  int same = S_ISREG(static_cast<mode_t>(st->st_mode)) && SameFileIdentity(now, checked) &&
             static_cast<uint64_t>(st->st_size) == size;
  static QuarantineRecord record;
  ClearQuarantineRecord(&record);
  record.meta = kMetaMode | kMetaMtime;
  record.mode = st->st_mode & 07777;
  record.mtimeNs = st->st_mtime_sec * 1000000000 + st->st_mtime_nsec;
  guestfs_free_statns(st);
  if (!same) {
    snprintf(why, capacity, "%s", "it is not the file that was checked any more");
    return kQuarantineNotSame;
  }

  // Where it was: the drive (its letter when it has one) and the path
  // beneath the drive's mount point, '/' between the parts as in the image.
  char windows[kQuarantineTextCapacity];
  size_t mountLength = strlen(drive.mountPoint);
  if (!GuestWindowsPath(drive, appliancePath, windows, sizeof windows) ||
      strncmp(appliancePath, drive.mountPoint, mountLength) != 0 || appliancePath[mountLength] != '/') {
    snprintf(why, capacity, "%s", "not quarantined: its path is too long for the manifest");
    return kQuarantineFailed;
  }
  // The path as the rows show it: each name escaped (EscapeNonWindowsName),
  // so that a name holding a '\\' never reads as another file's path.
  std::string shown = std::string(drive.label) + ":";
  for (const char* part = appliancePath + mountLength; *part == '/';) {
    const char* end = strchr(part + 1, '/');
    std::string name(part + 1, end ? static_cast<size_t>(end - part - 1) : strlen(part + 1));
    std::string escaped(EscapeNonWindowsName(name.c_str(), nullptr, 0) + 1, '\0');
    escaped.resize(EscapeNonWindowsName(name.c_str(), &escaped[0], escaped.size()));
    shown += "\\" + escaped;
    part = end ? end : part + strlen(part);
  }
  struct stat imageState;
  int fits = snprintf(record.path, sizeof record.path, "%s:%s", imageName, shown.c_str()) <
                 static_cast<int>(sizeof record.path) &&
             snprintf(record.image, sizeof record.image, "%s", imageName) < static_cast<int>(sizeof record.image) &&
             snprintf(record.root, sizeof record.root, "%s%s", drive.label, strlen(drive.label) == 1 ? ":" : "") <
                 static_cast<int>(sizeof record.root) &&
             snprintf(record.relative, sizeof record.relative, "%s", appliancePath + mountLength + 1) <
                 static_cast<int>(sizeof record.relative);
  if (!fits) {
    snprintf(why, capacity, "%s", "not quarantined: its path is too long for the manifest");
    return kQuarantineFailed;
  }
  if (stat(imageName, &imageState) == 0) {
    record.imageIdentified = 1;
    record.imageDevice = static_cast<uint64_t>(imageState.st_dev);
    record.imageInode = static_cast<uint64_t>(imageState.st_ino);
  }
  record.size = size;
  snprintf(record.detection, sizeof record.detection, "%s", detectionName);

  // The bytes come to an unlinked host file first, then into the store.
  const char* tmpdir = getenv("TMPDIR");
  std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/quellix-copy-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back(0);
  OwnedFd staged(mkostemp(name.data(), O_CLOEXEC));
  if (!staged.valid()) {
    snprintf(why, capacity, "not quarantined: %s", strerror(errno));
    return kQuarantineFailed;
  }
  unlink(name.data());
  struct stat got;
  if (!DownloadGuestFile(disk, appliancePath, staged.get()) || fstat(staged.get(), &got) != 0 ||
      static_cast<uint64_t>(got.st_size) != size || lseek(staged.get(), 0, SEEK_SET) != 0) {
    snprintf(why, capacity, "not quarantined: %s", GuestError(disk));
    return kQuarantineFailed;
  }
  GuestOriginal original{staged.get(), disk, appliancePath, checked, size, ""};
  QuarantineOriginal port{&original, GuestOriginalRead, GuestOriginalRemove, GuestOriginalReason};
  return QuarantineOne(store, &record, port, why, capacity);
}

RestoreOutcome RestoreGuestFile(GuestDisk* disk, const char* windowsPath, int sourceFd, uint64_t size, int force,
                                const char** why) {
  *why = nullptr;
  const GuestDrive* drive = nullptr;
  for (uint32_t i = 0; i < disk->driveCount; ++i) {
    const GuestDrive& d = disk->drives[i];
    if (strlen(d.label) == 1 && (windowsPath[0] & ~0x20) == d.label[0] && windowsPath[1] == ':' && d.mounted)
      drive = &d;
  }
  if (!drive || windowsPath[2] != '\\') {
    *why = "no mounted drive of the image has its letter";
    return kRestoreFailed;
  }
  // Each folder on the way must be a folder, not a link.
  std::string path = drive->mountPoint;
  std::string rest = windowsPath + 3;
  std::string name;
  size_t start = 0;
  while (true) {
    size_t end = rest.find('\\', start);
    std::string part = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos) {
      *why = "its path would leave its drive (an empty, \".\" or \"..\" part)";
      return kRestoreFailed;
    }
    if (end == std::string::npos) {
      name = part;
      break;
    }
    path += "/" + part;
    if (!IsPlainFolder(disk->handle, path)) {
      *why = "a folder on its way is missing, a link or no folder";
      return kRestoreFailed;
    }
    start = end + 1;
  }
  std::string target = path + "/" + name;
  struct guestfs_statns* there = guestfs_lstatns(disk->handle, target.c_str());
  if (there) guestfs_free_statns(there);
  if (there && !force) return kRestoreExists;

  char hostHex[kSha256HexSize];
  if (!Sha256OfFd(sourceFd, hostHex)) return kRestoreFailed;
  std::string incoming = FreshStagingName(disk->handle, path, "restore", name);
  if (incoming.empty()) {
    errno = EEXIST;
    return kRestoreFailed;
  }
  char through[64];
  snprintf(through, sizeof through, "/dev/fd/%d", sourceFd);
  int placed = guestfs_upload(disk->handle, through, incoming.c_str()) == 0;
  char* guestHex = placed ? guestfs_checksum(disk->handle, "sha256", incoming.c_str()) : nullptr;
  placed = guestHex && strcmp(guestHex, hostHex) == 0;
  free(guestHex);
  struct guestfs_statns* st = placed ? guestfs_lstatns(disk->handle, incoming.c_str()) : nullptr;
  placed = st && S_ISREG(static_cast<mode_t>(st->st_mode)) && static_cast<uint64_t>(st->st_size) == size;
  if (st) guestfs_free_statns(st);
  if (placed && !force) {
    // Something that appeared meanwhile still wins.
    there = guestfs_lstatns(disk->handle, target.c_str());
    if (there) {
      guestfs_free_statns(there);
      guestfs_rm_f(disk->handle, incoming.c_str());
      return kRestoreExists;
    }
  }
  placed = placed && guestfs_rename(disk->handle, incoming.c_str(), target.c_str()) == 0 &&
           guestfs_sync(disk->handle) == 0;
  if (!placed) {
    guestfs_rm_f(disk->handle, incoming.c_str());
    errno = EIO;
    return kRestoreFailed;
  }
  return kRestoreDone;
}

HibernationState GuestHibernated(GuestDisk* disk, char* where, size_t capacity) {
  HibernationState state = kNotHibernated;
  for (uint32_t i = 0; i < disk->driveCount; ++i) {
    const GuestDrive& drive = disk->drives[i];
    if (!drive.mounted) continue;
    OwnedGuestStrings entries(guestfs_ls(disk->handle, drive.mountPoint));
    if (!entries.list) {
      snprintf(where, capacity, "%s (its root cannot be listed)", drive.label);
      state = kHibernationUnknown;
      continue;
    }
    for (char** e = entries.list; *e; ++e) {
      if (strcasecmp(*e, "hiberfil.sys") != 0) continue;
      std::string path = std::string(drive.mountPoint) + "/" + *e;
      size_t got = 0;
      char* head = IsPlainFile(disk->handle, path) ? guestfs_pread(disk->handle, path.c_str(), 8, 0, &got) : nullptr;
      // A file that cannot be read, or is too short for its header, is no answer.
      HibernationState file = !head || got < 4 ? kHibernationUnknown
                              : IsHibernatedHeader(reinterpret_cast<unsigned char*>(head), got) ? kHibernated
                                                                                                 : kNotHibernated;
      free(head);
      if (file == kNotHibernated || (file == kHibernationUnknown && state != kNotHibernated)) continue;
      if (!GuestWindowsPath(drive, path.c_str(), where, capacity)) snprintf(where, capacity, "%s", path.c_str());
      if (file == kHibernated) return kHibernated;
      state = kHibernationUnknown;
    }
  }
  return state;
}

int DownloadGuestFile(GuestDisk* disk, const char* appliancePath, int hostFd) {
  char through[64];
  snprintf(through, sizeof through, "/dev/fd/%d", hostFd);
  return guestfs_download(disk->handle, appliancePath, through) == 0;
}

void CleanGuestRunValues(GuestDisk* disk, const char* imageName, const char* const* removedWindowsPaths,
                         uint32_t count, HiveBackup* backup, const RunValueListener& listener) {
  if (count == 0) return;
  std::vector<const char*> removed(removedWindowsPaths, removedWindowsPaths + count);
  for (uint32_t i = 0; i < disk->driveCount; ++i) {
    const GuestDrive& drive = disk->drives[i];
    if (!drive.mounted || (disk->inspected && !drive.system)) continue;
    ProfileJob job{disk, imageName, &drive, &removed, backup, &listener};
    for (const char* top : {"Documents and Settings", "Users"}) {
      std::string spelt = FindIgnoringCase(disk->handle, drive.mountPoint, top);
      if (spelt.empty()) continue;
      std::string folder = std::string(drive.mountPoint) + "/" + spelt;
      if (!IsPlainFolder(disk->handle, folder)) continue;
      OwnedGuestStrings users(guestfs_ls(disk->handle, folder.c_str()));
      for (char** u = users.list; u && *u; ++u) {
        std::string profile = folder + "/" + *u;
        if (IsPlainFolder(disk->handle, profile)) CleanProfile(job, profile, *u);
      }
    }
    CleanMachineHive(job);
  }
}

// A drive of a disk image behind the volume table, and the changes made
// through it (see guestfs_volume_posix.h).
#include "image/guestfs_volume_posix.h"

#include <fcntl.h>
#include <guestfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/sha256.h"
#include "remedy/name_escape.h"
#include "remedy/offline_windows.h"
#include "remedy/volume_hive_posix.h"
#include "sys/owned_fd_posix.h"

namespace {

GuestVolume* Of(void* context) { return static_cast<GuestVolume*>(context); }

void Why(char* why, size_t capacity, const char* text) {
  if (capacity) snprintf(why, capacity, "%s", text);
}

// The appliance's path of `path` below the drive's root.
std::string Full(const GuestVolume* volume, const char* path) {
  return *path ? std::string(volume->mountPoint) + "/" + path : std::string(volume->mountPoint);
}

// The entry itself (no link followed), or null; free with guestfs_free_statns.
struct GuestStat {
  struct guestfs_statns* st;
  GuestStat(guestfs_h* g, const std::string& path) : st(guestfs_lstatns(g, path.c_str())) {}
  ~GuestStat() {
    if (st) guestfs_free_statns(st);
  }
  GuestStat(const GuestStat&) = delete;
  GuestStat& operator=(const GuestStat&) = delete;
};

int IsPlainFile(guestfs_h* g, const std::string& path) {
  GuestStat s(g, path);
  return s.st && S_ISREG(static_cast<mode_t>(s.st->st_mode));
}

VolumeEntryKind KindOf(int64_t mode) {
  mode_t m = static_cast<mode_t>(mode);
  return S_ISREG(m) ? kVolumeFile : S_ISDIR(m) ? kVolumeFolder : S_ISLNK(m) ? kVolumeLink : kVolumeOther;
}

// A staging name of this run in `folder` that nothing in the guest holds
// (a link the guest left under a name of ours would send our bytes
// elsewhere), or "" when none is free.
std::string FreshStagingName(guestfs_h* g, const std::string& folder, const char* kind, const std::string& name) {
  static uint32_t serial = 0;
  for (int tries = 0; tries < 100; ++tries) {
    std::string path = folder + "/.quellix-" + kind + "-" + std::to_string(getpid()) + "-" +
                       std::to_string(++serial) + "-" + name;
    GuestStat s(g, path);
    if (s.st) continue;
    if (guestfs_last_errno(g) == ENOENT) return path;
    return "";
  }
  return "";
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

int GuestList(void* context, const char* folder, int (*each)(void*, const VolumeEntry&), void* eachContext,
              char* why, size_t capacity) {
  GuestVolume* v = Of(context);
  guestfs_h* g = v->disk->handle;
  std::string full = Full(v, folder);
  OwnedGuestStrings names(guestfs_ls(g, full.c_str()));
  if (!names.list) return Why(why, capacity, GuestError(v->disk)), 0;
  struct guestfs_statns_list* stats = guestfs_lstatnslist(g, full.c_str(), names.list);
  if (!stats) return Why(why, capacity, GuestError(v->disk)), 0;
  size_t count = 0;
  while (names.list[count]) ++count;
  int listed = stats->len == count;
  if (!listed) Why(why, capacity, "the appliance told fewer entries than it listed");
  for (size_t i = 0; listed && i < count; ++i) {
    const struct guestfs_statns& st = stats->val[i];
    // An entry that could not be looked at comes back with its fields -1.
    VolumeEntry entry{names.list[i], st.st_ino < 0 ? kVolumeOther : KindOf(st.st_mode),
                      st.st_size < 0 ? 0 : static_cast<uint64_t>(st.st_size), static_cast<uint64_t>(st.st_ino)};
    if (!each(eachContext, entry)) break;
  }
  guestfs_free_statns_list(stats);
  return listed;
}

int GuestLook(void* context, const char* path, VolumeEntry* entry, int* missing, char* why, size_t capacity) {
  GuestVolume* v = Of(context);
  GuestStat s(v->disk->handle, Full(v, path));
  *missing = 0;
  if (!s.st) {
    *missing = guestfs_last_errno(v->disk->handle) == ENOENT;
    return Why(why, capacity, GuestError(v->disk)), 0;
  }
  *entry = VolumeEntry{nullptr, KindOf(s.st->st_mode), static_cast<uint64_t>(s.st->st_size),
                       static_cast<uint64_t>(s.st->st_ino)};
  return 1;
}

int64_t GuestRead(void* context, const char* path, uint64_t offset, void* buffer, size_t capacity) {
  GuestVolume* v = Of(context);
  std::string full = Full(v, path);
  if (!IsPlainFile(v->disk->handle, full) || capacity > INT32_MAX) return -1;
  size_t got = 0;
  char* bytes = guestfs_pread(v->disk->handle, full.c_str(), static_cast<int>(capacity),
                              static_cast<int64_t>(offset), &got);
  if (!bytes) return -1;
  if (got > capacity) got = capacity;
  memcpy(buffer, bytes, got);
  free(bytes);
  return static_cast<int64_t>(got);
}

int Download(GuestDisk* disk, const std::string& full, int hostFd) {
  char through[64];
  snprintf(through, sizeof through, "/dev/fd/%d", hostFd);
  return guestfs_download(disk->handle, full.c_str(), through) == 0;
}

int GuestFetch(void* context, const char* path, int hostFd, char* why, size_t capacity) {
  GuestVolume* v = Of(context);
  std::string full = Full(v, path);
  if (!IsPlainFile(v->disk->handle, full)) return Why(why, capacity, "it is no regular file"), 0;
  if (!Download(v->disk, full, hostFd)) return Why(why, capacity, GuestError(v->disk)), 0;
  return 1;
}

// The `size` bytes of `hostFd` uploaded under a fresh staging name beside
// `full` and compared with the host's; "" (reason in `why`) when they are
// not there whole.
std::string Stage(GuestVolume* v, const std::string& full, int hostFd, uint64_t size, char* why, size_t capacity) {
  guestfs_h* g = v->disk->handle;
  size_t slash = full.rfind('/');
  std::string incoming = FreshStagingName(g, full.substr(0, slash), "incoming", full.substr(slash + 1));
  if (incoming.empty()) return Why(why, capacity, "no staging name of this run is free"), std::string();
  char hostHex[kSha256HexSize] = "", through[64];
  snprintf(through, sizeof through, "/dev/fd/%d", hostFd);
  if (!Sha256OfFd(hostFd, hostHex)) return Why(why, capacity, strerror(errno)), std::string();
  int placed = guestfs_upload(g, through, incoming.c_str()) == 0;
  char* guestHex = placed ? guestfs_checksum(g, "sha256", incoming.c_str()) : nullptr;
  placed = guestHex && strcmp(guestHex, hostHex) == 0;
  free(guestHex);
  GuestStat s(g, incoming);
  placed = placed && s.st && S_ISREG(static_cast<mode_t>(s.st->st_mode)) &&
           static_cast<uint64_t>(s.st->st_size) == size;
  if (placed) return incoming;
  Why(why, capacity, GuestError(v->disk));
  if (IsPlainFile(g, incoming)) guestfs_rm_f(g, incoming.c_str());
  return std::string();
}

// The staged file takes `full`'s name, checked once more to be ours.
int TakeName(GuestVolume* v, const std::string& incoming, const std::string& full, char* why, size_t capacity) {
  guestfs_h* g = v->disk->handle;
  if (IsPlainFile(g, incoming) && guestfs_rename(g, incoming.c_str(), full.c_str()) == 0 && guestfs_sync(g) == 0)
    return 1;
  Why(why, capacity, GuestError(v->disk));
  if (IsPlainFile(g, incoming)) guestfs_rm_f(g, incoming.c_str());
  return 0;
}

int GuestPutWhole(void* context, const char* path, int hostFd, uint64_t size, char* why, size_t capacity) {
  GuestVolume* v = Of(context);
  std::string full = Full(v, path);
  if (!IsPlainFile(v->disk->handle, full)) return Why(why, capacity, "it is a link or no regular file"), 0;
  std::string incoming = Stage(v, full, hostFd, size, why, capacity);
  return !incoming.empty() && TakeName(v, incoming, full, why, capacity);
}

VolumeChange GuestRemove(void* context, const char* path, uint64_t identity, uint64_t size, char* why,
                         size_t capacity) {
  GuestVolume* v = Of(context);
  std::string full = Full(v, path);
  GuestStat s(v->disk->handle, full);
  if (!s.st) return Why(why, capacity, GuestError(v->disk)), kVolumeChangeFailed;
  if (!S_ISREG(static_cast<mode_t>(s.st->st_mode)) || static_cast<uint64_t>(s.st->st_ino) != identity ||
      static_cast<uint64_t>(s.st->st_size) != size)
    return kVolumeChangeNotSame;
  if (guestfs_rm(v->disk->handle, full.c_str()) != 0) return Why(why, capacity, GuestError(v->disk)), kVolumeChangeFailed;
  return kVolumeChangeDone;
}

int GuestWriteNew(void* context, const char* path, int hostFd, uint64_t size, char* why, size_t capacity) {
  GuestVolume* v = Of(context);
  guestfs_h* g = v->disk->handle;
  std::string full = Full(v, path);
  std::string incoming = Stage(v, full, hostFd, size, why, capacity);
  if (incoming.empty()) return 0;
  // Something that appeared meanwhile still wins.
  GuestStat there(g, full);
  if (there.st || guestfs_last_errno(g) != ENOENT) {
    Why(why, capacity, there.st ? "something is in its place" : GuestError(v->disk));
    guestfs_rm_f(g, incoming.c_str());
    return 0;
  }
  return TakeName(v, incoming, full, why, capacity);
}

// The drive whose mount point holds `appliancePath`, and the path below it.
const GuestDrive* DriveHolding(GuestDisk* disk, const char* appliancePath, const char** below) {
  for (uint32_t i = 0; i < disk->driveCount; ++i) {
    const GuestDrive& d = disk->drives[i];
    size_t length = strlen(d.mountPoint);
    if (!d.mounted || strncmp(appliancePath, d.mountPoint, length) != 0 || appliancePath[length] != '/') continue;
    *below = appliancePath + length + 1;
    return &d;
  }
  return nullptr;
}

}  // namespace

void OpenGuestVolume(GuestDisk* disk, const GuestDrive& drive, GuestVolume* volume, OfflineVolumePort* port) {
  volume->disk = disk;
  snprintf(volume->mountPoint, sizeof volume->mountPoint, "%s", drive.mountPoint);
  *port = OfflineVolumePort{volume, GuestList, GuestLook, GuestRead, GuestFetch, nullptr, nullptr, nullptr};
  if (disk->writable) {
    port->putWhole = GuestPutWhole;
    port->remove = GuestRemove;
    port->writeNew = GuestWriteNew;
  }
}

RemovalOutcome RemoveGuestFile(GuestDisk* disk, const char* appliancePath, const FileIdentity& checked,
                               uint64_t size) {
  const char* below = nullptr;
  const GuestDrive* drive = DriveHolding(disk, appliancePath, &below);
  if (!drive) return kRemovalNotSame;
  GuestVolume volume;
  OfflineVolumePort port;
  OpenGuestVolume(disk, *drive, &volume, &port);
  if (!port.remove) return kRemovalFailed;
  char why[256];
  VolumeChange change = port.remove(port.context, below, checked.file, size, why, sizeof why);
  return change == kVolumeChangeDone ? kRemovalDone : change == kVolumeChangeNotSame ? kRemovalNotSame
                                                                                      : kRemovalFailed;
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
    shown += "\\" + NonWindowsNameEscaped(name.c_str());
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
                                char* why, size_t capacity) {
  const GuestDrive* drive = nullptr;
  for (uint32_t i = 0; i < disk->driveCount; ++i) {
    const GuestDrive& d = disk->drives[i];
    if (strlen(d.label) == 1 && (windowsPath[0] & ~0x20) == d.label[0] && windowsPath[1] == ':' && d.mounted)
      drive = &d;
  }
  if (!drive || windowsPath[2] != '\\') {
    Why(why, capacity, "no mounted drive of the image has its letter");
    return kRestoreFailed;
  }
  GuestVolume volume;
  OfflineVolumePort port;
  OpenGuestVolume(disk, *drive, &volume, &port);
  const char* refusal = nullptr;
  RestoreOutcome outcome = RestoreVolumeFile(port, windowsPath + 3, sourceFd, size, force, &refusal, why, capacity);
  if (outcome == kRestoreFailed && refusal) Why(why, capacity, refusal);
  return outcome;
}

HibernationState GuestHibernated(GuestDisk* disk, char* where, size_t capacity) {
  HibernationState state = kNotHibernated;
  for (uint32_t i = 0; i < disk->driveCount; ++i) {
    const GuestDrive& drive = disk->drives[i];
    if (!drive.mounted) continue;
    GuestVolume volume;
    OfflineVolumePort port;
    OpenGuestVolume(disk, drive, &volume, &port);
    char hiberfil[kGuestNameCapacity] = "", why[320] = "";
    HibernationState found = VolumeHibernation(port, hiberfil, sizeof hiberfil, why, sizeof why);
    // One saying hibernated wins over one that cannot be read.
    if (found == kNotHibernated || (found == kHibernationUnknown && state != kNotHibernated)) continue;
    if (!hiberfil[0])
      snprintf(where, capacity, "%s (its root cannot be listed)", drive.label);
    else
      snprintf(where, capacity, "%s:\\%s", drive.label, hiberfil);
    if (found == kHibernated) return kHibernated;
    state = kHibernationUnknown;
  }
  return state;
}

int DownloadGuestFile(GuestDisk* disk, const char* appliancePath, int hostFd) {
  return Download(disk, appliancePath, hostFd);
}

void CleanGuestRunValues(GuestDisk* disk, const char* imageName, const char* const* removedWindowsPaths,
                         uint32_t count, HiveBackup* backup, const RunValueListener& listener) {
  if (count == 0) return;
  const char* systemRoot = disk->systemRoot;
  for (uint32_t i = 0; i < disk->driveCount; ++i) {
    const GuestDrive& drive = disk->drives[i];
    if (!drive.mounted || (disk->inspected && !drive.system)) continue;
    GuestVolume volume;
    OfflineVolumePort port;
    OpenGuestVolume(disk, drive, &volume, &port);
    char letter = strlen(drive.label) == 1 ? drive.label[0] : 0;
    // The SOFTWARE hive lies in the system folder when it is at this drive's root.
    const char* systemFolder = nullptr;
    if (letter && systemRoot[0] && std::toupper(static_cast<unsigned char>(systemRoot[0])) == letter &&
        systemRoot[1] == ':' && systemRoot[2] == '\\' && systemRoot[3] && !std::strchr(systemRoot + 3, '\\'))
      systemFolder = systemRoot + 3;
    std::string prefix = std::string(imageName) + ":" + drive.label + ":\\";
    VolumeRunValueRequest request{prefix.c_str(), 1, letter, systemRoot, systemFolder, removedWindowsPaths, count};
    CleanVolumeRunValues(port, request, HostHiveCleaner(backup), listener);
  }
}

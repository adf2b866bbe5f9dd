// The mounted volume (see offline_volume_posix.h).
#include "remedy/offline_volume_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <cstring>
#include <string>

#include "remedy/hive_posix.h"
#include "remedy/trusted_folder_posix.h"
#include "sys/owned_fd_posix.h"
#include "sys/regular_file_posix.h"

namespace {

// A directory stream closed on every path.
struct DirStream {
  DIR* stream;
  explicit DirStream(DIR* s) : stream(s) {}
  ~DirStream() {
    if (stream) closedir(stream);
  }
  DirStream(const DirStream&) = delete;
  DirStream& operator=(const DirStream&) = delete;
};

// A stream over the folder `fd` (which stays the caller's).
DIR* ListFolder(int fd) {
  OwnedFd copy(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!copy.valid()) return nullptr;
  DIR* stream = fdopendir(copy.get());
  if (stream) copy.release();
  return stream;
}

int IsDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

}  // namespace

int FindEntryIgnoringCase(const char* directory, const char* name, int wantDirectory, char* out, size_t capacity) {
  DirStream stream(opendir(directory));
  if (!stream.stream) return 0;
  int found = 0;
  while (struct dirent* d = readdir(stream.stream)) {
    if (strcasecmp(d->d_name, name) != 0) continue;
    char path[kMountedPathCapacity];
    int n = snprintf(path, sizeof path, "%s%s%s", directory, directory[strlen(directory) - 1] == '/' ? "" : "/",
                     d->d_name);
    struct stat st;
    if (n < 0 || static_cast<size_t>(n) >= sizeof path || lstat(path, &st) != 0) continue;
    if (wantDirectory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) continue;
    if (static_cast<size_t>(n) + 1 > capacity) continue;
    int exact = strcmp(d->d_name, name) == 0;
    if (!found || exact) {
      memcpy(out, path, static_cast<size_t>(n) + 1);
      found = 1;
      if (exact) break;
    }
  }
  return found;
}

int FindSystemFolder(const char* volumeRoot, char* name, size_t capacity) {
  char path[kMountedPathCapacity];
  for (const char* candidate : {"WINDOWS", "WINNT"}) {
    if (!FindEntryIgnoringCase(volumeRoot, candidate, 1, path, sizeof path)) continue;
    const char* base = strrchr(path, '/') + 1;
    if (strlen(base) + 1 > capacity) return 0;
    memcpy(name, base, strlen(base) + 1);
    return 1;
  }
  return 0;
}

namespace {

int CountHive(void* context, const VolumeProfileHive&) {
  *static_cast<uint32_t*>(context) += 1;
  return 1;
}

}  // namespace

int IsWindows9xVolume(const char* volumeRoot, const char* systemFolder) {
  char folder[kMountedPathCapacity], user[kMountedPathCapacity];
  snprintf(folder, sizeof folder, "%s/%s", volumeRoot, systemFolder);
  if (!FindEntryIgnoringCase(folder, "USER.DAT", 0, user, sizeof user)) return 0;
  unsigned char head[16];
  long got = ReadFileHead(user, head, sizeof head);
  if (got >= 4 && CheckHiveHeader(head, static_cast<size_t>(got)) != kHiveHeaderNotRegf) return 0;
  MountedVolume volume;
  OfflineVolumePort port;
  char why[256];
  if (!OpenMountedVolume(volumeRoot, 0, &volume, &port, why, sizeof why)) return 0;
  uint32_t hives = 0;
  ForEachVolumeProfileHive(port, CountHive, &hives);
  return hives == 0;
}

int MountRootOf(const char* path, char* out, size_t capacity) {
  char current[kMountedPathCapacity];
  if (!realpath(path, current)) return 0;
  struct stat st;
  if (stat(current, &st) != 0) return 0;
  dev_t device = st.st_dev;
  for (;;) {
    char* slash = strrchr(current, '/');
    if (!slash || slash == current) {
      char parentDevice[2] = "/";
      struct stat root;
      if (stat(parentDevice, &root) == 0 && root.st_dev == device) {
        current[0] = '/';
        current[1] = 0;
      }
      break;
    }
    *slash = 0;
    struct stat parent;
    if (stat(current, &parent) != 0 || parent.st_dev != device) {
      *slash = '/';
      break;
    }
  }
  if (strlen(current) + 1 > capacity) return 0;
  memcpy(out, current, strlen(current) + 1);
  return 1;
}

HibernationState HoldsHibernatedFile(const char* directory, char* hiberfil, size_t capacity, char* why,
                                     size_t whyCapacity) {
  MountedVolume volume;
  OfflineVolumePort port;
  char reason[256];
  if (!OpenMountedVolume(directory, 0, &volume, &port, reason, sizeof reason)) {
    snprintf(hiberfil, capacity, "%s", directory);
    snprintf(why, whyCapacity, "it cannot be listed: %s", reason);
    return kHibernationUnknown;
  }
  char name[kMountedPathCapacity] = "";
  HibernationState state = VolumeHibernation(port, name, sizeof name, why, whyCapacity);
  if (state == kNotHibernated) return state;
  if (!name[0])
    snprintf(hiberfil, capacity, "%s", directory);
  else
    snprintf(hiberfil, capacity, "%s%s%s", directory, directory[strlen(directory) - 1] == '/' ? "" : "/", name);
  return state;
}

HibernationState IsOnHibernatedVolume(const char* path, char* hiberfil, size_t capacity, char* why,
                                      size_t whyCapacity) {
  char root[kMountedPathCapacity];
  if (!MountRootOf(path, root, sizeof root)) {
    snprintf(hiberfil, capacity, "%s", path);
    snprintf(why, whyCapacity, "the root of its volume cannot be found: %s", strerror(errno));
    return kHibernationUnknown;
  }
  return HoldsHibernatedFile(root, hiberfil, capacity, why, whyCapacity);
}

int IsOnReadOnlyMount(const char* path) {
  struct statvfs volume;
  return statvfs(path, &volume) == 0 && (volume.f_flag & ST_RDONLY) ? 1 : 0;
}

namespace {

MountedVolume* VolumeOf(void* context) { return static_cast<MountedVolume*>(context); }

void Why(char* why, size_t capacity, const char* text) {
  if (capacity) snprintf(why, capacity, "%s", text);
}

// The folder `path` below the root, one part at a time, no link followed.
int OpenFolderBelow(int rootFd, const char* path, OwnedFd* folder) {
  folder->reset(fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
  const char* start = path;
  while (folder->valid() && *start) {
    const char* end = strchr(start, '/');
    std::string part = end ? std::string(start, static_cast<size_t>(end - start)) : std::string(start);
    if (part.empty() || part == "." || part == "..") {
      errno = EINVAL;
      folder->reset();
      return 0;
    }
    folder->reset(openat(folder->get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    start = end ? end + 1 : start + strlen(start);
  }
  return folder->valid();
}

// The folder holding `path` and the last part's name.
int OpenParentBelow(int rootFd, const char* path, OwnedFd* parent, std::string* name) {
  const char* slash = strrchr(path, '/');
  std::string folder = slash ? std::string(path, static_cast<size_t>(slash - path)) : std::string();
  *name = slash ? slash + 1 : path;
  if (name->empty() || *name == "." || *name == "..") {
    errno = EINVAL;
    return 0;
  }
  return OpenFolderBelow(rootFd, folder.c_str(), parent);
}

VolumeEntryKind KindOf(mode_t mode) {
  return S_ISREG(mode) ? kVolumeFile : S_ISDIR(mode) ? kVolumeFolder : S_ISLNK(mode) ? kVolumeLink : kVolumeOther;
}

int MountedList(void* context, const char* folder, int (*each)(void*, const VolumeEntry&), void* eachContext,
                char* why, size_t capacity) {
  OwnedFd fd;
  if (!OpenFolderBelow(VolumeOf(context)->rootFd.get(), folder, &fd)) return Why(why, capacity, strerror(errno)), 0;
  DirStream stream(ListFolder(fd.get()));
  if (!stream.stream) return Why(why, capacity, strerror(errno)), 0;
  // A copy of the root's descriptor shares its offset with every earlier listing.
  rewinddir(stream.stream);
  for (;;) {
    errno = 0;
    struct dirent* d = readdir(stream.stream);
    if (!d) break;
    if (IsDotOrDotDot(d->d_name)) continue;
    struct stat st;
    // One that cannot be looked at is still told, as something never read.
    VolumeEntry entry{d->d_name, kVolumeOther, 0, 0};
    if (fstatat(fd.get(), d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
      entry = VolumeEntry{d->d_name, KindOf(st.st_mode), static_cast<uint64_t>(st.st_size),
                          static_cast<uint64_t>(st.st_ino)};
    if (!each(eachContext, entry)) return 1;
  }
  if (errno != 0) return Why(why, capacity, strerror(errno)), 0;
  return 1;
}

int MountedLook(void* context, const char* path, VolumeEntry* entry, int* missing, char* why, size_t capacity) {
  *missing = 0;
  OwnedFd parent;
  std::string name;
  struct stat st;
  if (!*path) {
    if (fstat(VolumeOf(context)->rootFd.get(), &st) != 0) return Why(why, capacity, strerror(errno)), 0;
  } else if (!OpenParentBelow(VolumeOf(context)->rootFd.get(), path, &parent, &name) ||
             fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    *missing = errno == ENOENT;
    return Why(why, capacity, strerror(errno)), 0;
  }
  *entry = VolumeEntry{nullptr, KindOf(st.st_mode), static_cast<uint64_t>(st.st_size),
                       static_cast<uint64_t>(st.st_ino)};
  return 1;
}

// The regular file `path`, for reading: no link followed, no wait on a
// FIFO, and no trace left, the access time included.
int OpenFileBelow(void* context, const char* path, OwnedFd* file, struct stat* st) {
  OwnedFd parent;
  std::string name;
  if (!OpenParentBelow(VolumeOf(context)->rootFd.get(), path, &parent, &name)) return 0;
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  file->reset(openat(parent.get(), name.c_str(), flags | O_NOATIME));
  if (!file->valid() && errno == EPERM) file->reset(openat(parent.get(), name.c_str(), flags));
  if (!file->valid() || fstat(file->get(), st) != 0) return 0;
  if (!S_ISREG(st->st_mode)) {
    errno = EINVAL;
    return 0;
  }
  return 1;
}

int64_t MountedRead(void* context, const char* path, uint64_t offset, void* buffer, size_t capacity) {
  OwnedFd file;
  struct stat st;
  if (!OpenFileBelow(context, path, &file, &st)) return -1;
  size_t got = 0;
  while (got < capacity) {
    ssize_t n = pread(file.get(), static_cast<char*>(buffer) + got, capacity - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(got);
}

int MountedFetch(void* context, const char* path, int hostFd, char* why, size_t capacity) {
  OwnedFd file;
  struct stat st;
  if (!OpenFileBelow(context, path, &file, &st) || !CopyFileBytes(file.get(), static_cast<uint64_t>(st.st_size), hostFd))
    return Why(why, capacity, strerror(errno)), 0;
  return 1;
}

// 1 when the `size` bytes of `a` and `b` are the same.
int SameBytes(int a, int b, uint64_t size) {
  std::string one(65536, '\0'), two(65536, '\0');
  for (uint64_t at = 0; at < size;) {
    size_t want = size - at < one.size() ? static_cast<size_t>(size - at) : one.size();
    if (pread(a, &one[0], want, static_cast<off_t>(at)) != static_cast<ssize_t>(want) ||
        pread(b, &two[0], want, static_cast<off_t>(at)) != static_cast<ssize_t>(want) ||
        memcmp(one.data(), two.data(), want) != 0)
      return 0;
    at += want;
  }
  return 1;
}

// A new file of this run in the folder, holding the `size` bytes of
// `hostFd`, flushed and read back; its name goes to `staged`.
int StageBeside(int folderFd, int hostFd, uint64_t size, std::string* staged, OwnedFd* file) {
  static unsigned serial = 0;
  for (int tries = 0; tries < 100; ++tries) {
    *staged = ".quellix-incoming-" + std::to_string(getpid()) + "-" + std::to_string(++serial) + ".tmp";
    if (CreateNewFile(folderFd, staged->c_str(), 0600, file)) break;
    if (errno != EEXIST) return 0;
  }
  if (!file->valid()) return 0;
  struct stat st;
  if (CopyFileBytes(hostFd, size, file->get()) && fsync(file->get()) == 0 && fstat(file->get(), &st) == 0 &&
      static_cast<uint64_t>(st.st_size) == size && SameBytes(hostFd, file->get(), size))
    return 1;
  int error = errno ? errno : EIO;
  unlinkat(folderFd, staged->c_str(), 0);
  errno = error;
  return 0;
}

int MountedPutWhole(void* context, const char* path, int hostFd, uint64_t size, char* why, size_t capacity) {
  OwnedFd parent, next;
  std::string name, staged;
  struct stat st;
  if (!OpenParentBelow(VolumeOf(context)->rootFd.get(), path, &parent, &name) ||
      fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return Why(why, capacity, strerror(errno)), 0;
  if (!S_ISREG(st.st_mode)) return Why(why, capacity, "it is no regular file"), 0;
  if (st.st_nlink > 1) return Why(why, capacity, "it has other names (hard links), which would change with it"), 0;
  struct statvfs mount;
  if (fstatvfs(parent.get(), &mount) == 0 && (mount.f_flag & ST_RDONLY))
    return Why(why, capacity, "it is on a read-only mount"), 0;
  if (!StageBeside(parent.get(), hostFd, size, &staged, &next))
    return Why(why, capacity, strerror(errno)), 0;
  if (fchown(next.get(), st.st_uid, st.st_gid) != 0 && errno != EPERM) { /* the owner is kept where allowed */ }
  // The swap: only while the name still is the file that was there.
  struct stat now;
  int same = fstatat(parent.get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == st.st_dev &&
             now.st_ino == st.st_ino;
  if (!same || fchmod(next.get(), st.st_mode & 0777) != 0 || fsync(next.get()) != 0 ||
      renameat(parent.get(), staged.c_str(), parent.get(), name.c_str()) != 0) {
    int error = errno;
    unlinkat(parent.get(), staged.c_str(), 0);
    return Why(why, capacity, same ? strerror(error) : "it was replaced meanwhile"), 0;
  }
  fsync(parent.get());
  return 1;
}

VolumeChange MountedRemove(void* context, const char* path, uint64_t identity, uint64_t size, char* why,
                           size_t capacity) {
  OwnedFd parent;
  std::string name;
  struct stat st;
  if (!OpenParentBelow(VolumeOf(context)->rootFd.get(), path, &parent, &name) ||
      fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return Why(why, capacity, strerror(errno)), kVolumeChangeFailed;
  if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_ino) != identity ||
      static_cast<uint64_t>(st.st_size) != size)
    return kVolumeChangeNotSame;
  if (unlinkat(parent.get(), name.c_str(), 0) != 0) return Why(why, capacity, strerror(errno)), kVolumeChangeFailed;
  return kVolumeChangeDone;
}

int MountedWriteNew(void* context, const char* path, int hostFd, uint64_t size, char* why, size_t capacity) {
  OwnedFd parent, next;
  std::string name, staged;
  if (!OpenParentBelow(VolumeOf(context)->rootFd.get(), path, &parent, &name) ||
      !StageBeside(parent.get(), hostFd, size, &staged, &next))
    return Why(why, capacity, strerror(errno)), 0;
  // A hard link takes the name only while nothing holds it; a volume
  // without them (FAT) takes it by a rename checked just before.
  int placed = linkat(parent.get(), staged.c_str(), parent.get(), name.c_str(), 0) == 0;
  int error = errno;
  if (!placed && error != EEXIST) {
    struct stat there;
    if (fstatat(parent.get(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0)
      error = EEXIST;
    else
      placed = renameat(parent.get(), staged.c_str(), parent.get(), name.c_str()) == 0, error = errno;
  }
  unlinkat(parent.get(), staged.c_str(), 0);
  if (!placed) return Why(why, capacity, strerror(error)), 0;
  fsync(parent.get());
  return 1;
}

}  // namespace

int OpenMountedVolume(const char* root, int writable, MountedVolume* volume, OfflineVolumePort* port, char* why,
                      size_t capacity) {
  volume->rootFd.reset(open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!volume->rootFd.valid()) return Why(why, capacity, strerror(errno)), 0;
  snprintf(volume->root, sizeof volume->root, "%s", root);
  *port = OfflineVolumePort{volume, MountedList, MountedLook, MountedRead, MountedFetch, nullptr, nullptr, nullptr};
  if (writable) {
    port->putWhole = MountedPutWhole;
    port->remove = MountedRemove;
    port->writeNew = MountedWriteNew;
  }
  return 1;
}

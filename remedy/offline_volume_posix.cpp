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
#include "sys/owned_fd_posix.h"

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

int CountHive(void* context, const ProfileHive&) {
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
  uint32_t hives = 0;
  ForEachProfileHive(volumeRoot, CountHive, &hives);
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

HibernationState HibernationOfFile(const char* path, char* why, size_t whyCapacity) {
  // Looking must not leave a trace, the access time included.
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  OwnedFd fd(open(path, flags | O_NOATIME));
  if (!fd.valid() && errno == EPERM) fd.reset(open(path, flags));
  struct stat st;
  if (!fd.valid() || fstat(fd.get(), &st) != 0) {
    snprintf(why, whyCapacity, "%s", errno == ELOOP ? "it is a symbolic link" : strerror(errno));
    return kHibernationUnknown;
  }
  if (!S_ISREG(st.st_mode)) {
    snprintf(why, whyCapacity, "%s", "it is not a regular file");
    return kHibernationUnknown;
  }
  unsigned char head[8];
  size_t got = 0;
  while (got < sizeof head) {
    ssize_t n = pread(fd.get(), head + got, sizeof head - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      snprintf(why, whyCapacity, "%s", strerror(errno));
      return kHibernationUnknown;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got < 4) {
    snprintf(why, whyCapacity, "it holds %zu bytes, too few for a header", got);
    return kHibernationUnknown;
  }
  return IsHibernatedHeader(head, got) ? kHibernated : kNotHibernated;
}

HibernationState HoldsHibernatedFile(const char* directory, char* hiberfil, size_t capacity, char* why,
                                     size_t whyCapacity) {
  DirStream stream(opendir(directory));
  if (!stream.stream) {
    snprintf(hiberfil, capacity, "%s", directory);
    snprintf(why, whyCapacity, "it cannot be listed: %s", strerror(errno));
    return kHibernationUnknown;
  }
  // Every spelling: "hiberfil.sys" saying "wake" must not hide "HIBERFIL.SYS"
  // saying "hibr", nor one that cannot be read.
  HibernationState state = kNotHibernated;
  for (;;) {
    errno = 0;
    struct dirent* d = readdir(stream.stream);
    if (!d) {
      if (errno != 0 && state == kNotHibernated) {
        snprintf(hiberfil, capacity, "%s", directory);
        snprintf(why, whyCapacity, "it cannot be listed: %s", strerror(errno));
        state = kHibernationUnknown;
      }
      break;
    }
    if (strcasecmp(d->d_name, "hiberfil.sys") != 0) continue;
    char path[kMountedPathCapacity];
    int n = snprintf(path, sizeof path, "%s%s%s", directory, directory[strlen(directory) - 1] == '/' ? "" : "/",
                     d->d_name);
    char reason[256] = "";
    HibernationState file = kHibernationUnknown;
    if (n < 0 || static_cast<size_t>(n) >= sizeof path)
      snprintf(reason, sizeof reason, "%s", "its path is too long");
    else
      file = HibernationOfFile(path, reason, sizeof reason);
    if (file == kNotHibernated || (file == kHibernationUnknown && state != kNotHibernated)) continue;
    snprintf(hiberfil, capacity, "%s", n > 0 && static_cast<size_t>(n) < sizeof path ? path : directory);
    if (file == kHibernated) return kHibernated;
    snprintf(why, whyCapacity, "%s", reason);
    state = kHibernationUnknown;
  }
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

struct ProfileWalk {
  int (*found)(void* context, const ProfileHive& hive);
  void* context;
  uint32_t count;
};

int Tell(ProfileWalk* walk, const ProfileHive& hive) {
  walk->count += 1;
  return walk->found(walk->context, hive);
}

// The hive of one profile folder (already opened without following a link).
int VisitProfile(ProfileWalk* walk, int profileFd, const char* profile, const char* user) {
  DirStream stream(ListFolder(profileFd));
  if (!stream.stream) return 1;
  std::string name;
  int regular = 0, linked = 0;
  while (struct dirent* d = readdir(stream.stream)) {
    if (strcasecmp(d->d_name, "NTUSER.DAT") != 0) continue;
    struct stat st;
    if (fstatat(profileFd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      linked += 1;
      name = d->d_name;
    } else if (S_ISREG(st.st_mode)) {
      regular += 1;
      if (!linked) name = d->d_name;
    }
  }
  if (regular + linked == 0) return 1;
  std::string hive = std::string(profile) + "/" + name;
  ProfileHive h{profileFd, name.c_str(), hive.c_str(), profile, user, nullptr};
  if (linked) {
    h.folderFd = -1;
    h.trouble = "is a symbolic link";
  } else if (regular > 1) {
    h.folderFd = -1;
    hive = std::string(profile) + "/NTUSER.DAT";
    h.hive = hive.c_str();
    h.trouble = "has a twin whose name differs only in case; which one the system loads is not known";
  }
  return Tell(walk, h);
}

}  // namespace

uint32_t ForEachProfileHive(const char* volumeRoot, int (*found)(void* context, const ProfileHive& hive),
                            void* context) {
  ProfileWalk walk{found, context, 0};
  for (const char* parent : {"Documents and Settings", "Users"}) {
    char profiles[kMountedPathCapacity];
    if (!FindEntryIgnoringCase(volumeRoot, parent, 1, profiles, sizeof profiles)) continue;
    OwnedFd parentFd(open(profiles, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!parentFd.valid()) continue;
    char parentCanonical[kMountedPathCapacity];
    if (!realpath(profiles, parentCanonical)) parentCanonical[0] = 0;
    DirStream stream(ListFolder(parentFd.get()));
    if (!stream.stream) continue;
    while (struct dirent* d = readdir(stream.stream)) {
      if (IsDotOrDotDot(d->d_name)) continue;
      std::string profile = std::string(profiles) + "/" + d->d_name;
      struct stat st;
      if (profile.size() >= kMountedPathCapacity || fstatat(parentFd.get(), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        continue;
      if (S_ISLNK(st.st_mode)) {
        // "Default User" and "All Users" are links on newer systems: one to
        // a profile walked in its own right, one to a folder without a hive.
        // Any other link to a hive is said, not followed.
        char target[kMountedPathCapacity], hive[kMountedPathCapacity];
        if (!realpath(profile.c_str(), target) || !FindEntryIgnoringCase(target, "NTUSER.DAT", 0, hive, sizeof hive))
          continue;
        char* slash = strrchr(target, '/');
        if (slash && parentCanonical[0] && static_cast<size_t>(slash - target) == strlen(parentCanonical) &&
            strncmp(target, parentCanonical, strlen(parentCanonical)) == 0)
          continue;
        std::string linkedHive = profile + "/NTUSER.DAT";
        ProfileHive h{-1, "NTUSER.DAT", linkedHive.c_str(), profile.c_str(), d->d_name,
                      "its profile folder is a symbolic link"};
        if (!Tell(&walk, h)) return walk.count;
        continue;
      }
      if (!S_ISDIR(st.st_mode)) continue;
      OwnedFd profileFd(openat(parentFd.get(), d->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!profileFd.valid()) continue;
      if (!VisitProfile(&walk, profileFd.get(), profile.c_str(), d->d_name)) return walk.count;
    }
  }
  return walk.count;
}

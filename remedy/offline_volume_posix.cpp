// The mounted volume (see offline_volume_posix.h).
#include "remedy/offline_volume_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <cstring>

#include "remedy/hive_posix.h"

int FindEntryIgnoringCase(const char* directory, const char* name, int wantDirectory, char* out, size_t capacity) {
  DIR* stream = opendir(directory);
  if (!stream) return 0;
  int found = 0;
  while (struct dirent* d = readdir(stream)) {
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
  closedir(stream);
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

int CountHive(void* context, const char*, const char*, const char*) {
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

int IsHibernatedFile(const char* path) {
  unsigned char head[8];
  long got = ReadFileHead(path, head, sizeof head);
  return got >= 4 && IsHibernatedHeader(head, static_cast<size_t>(got));
}

int IsOnHibernatedVolume(const char* path, char* hiberfil, size_t capacity) {
  char root[kMountedPathCapacity], file[kMountedPathCapacity];
  if (!MountRootOf(path, root, sizeof root)) return 0;
  if (!FindEntryIgnoringCase(root, "hiberfil.sys", 0, file, sizeof file)) return 0;
  if (!IsHibernatedFile(file)) return 0;
  snprintf(hiberfil, capacity, "%s", file);
  return 1;
}

int IsOnReadOnlyMount(const char* path) {
  struct statvfs volume;
  return statvfs(path, &volume) == 0 && (volume.f_flag & ST_RDONLY) ? 1 : 0;
}

uint32_t ForEachProfileHive(const char* volumeRoot,
                            int (*found)(void* context, const char* hive, const char* profile, const char* user),
                            void* context) {
  uint32_t count = 0;
  for (const char* parent : {"Documents and Settings", "Users"}) {
    char profiles[kMountedPathCapacity];
    if (!FindEntryIgnoringCase(volumeRoot, parent, 1, profiles, sizeof profiles)) continue;
    DIR* stream = opendir(profiles);
    if (!stream) continue;
    while (struct dirent* d = readdir(stream)) {
      if (d->d_name[0] == '.' && (d->d_name[1] == 0 || (d->d_name[1] == '.' && d->d_name[2] == 0))) continue;
      char profile[kMountedPathCapacity], hive[kMountedPathCapacity];
      int n = snprintf(profile, sizeof profile, "%s/%s", profiles, d->d_name);
      struct stat st;
      if (n < 0 || static_cast<size_t>(n) >= sizeof profile || lstat(profile, &st) != 0 || !S_ISDIR(st.st_mode))
        continue;
      if (!FindEntryIgnoringCase(profile, "NTUSER.DAT", 0, hive, sizeof hive)) continue;
      count += 1;
      if (!found(context, hive, profile, d->d_name)) {
        closedir(stream);
        return count;
      }
    }
    closedir(stream);
  }
  return count;
}

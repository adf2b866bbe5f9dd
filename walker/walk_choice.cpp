// How a PATH is listed (see walk_choice.h).
#include "walker/walk_choice.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

// The next blank-separated field of `*at`, its \ooo escapes undone, into
// `out`. 0 when there is none or it does not fit.
int Field(const char** at, char* out, size_t capacity) {
  const char* p = *at;
  while (*p == ' ') ++p;
  if (!*p) return 0;
  size_t n = 0;
  while (*p && *p != ' ') {
    char c = *p++;
    if (c == '\\' && p[0] >= '0' && p[0] <= '3' && p[1] >= '0' && p[1] <= '7' && p[2] >= '0' && p[2] <= '7') {
      c = static_cast<char>((p[0] - '0') * 64 + (p[1] - '0') * 8 + (p[2] - '0'));
      p += 3;
    }
    if (n + 1 >= capacity) return 0;
    out[n++] = c;
  }
  out[n] = 0;
  *at = p;
  return 1;
}

// A decimal number up to `stop` (or the end): 1 with `*value`, `*at` past it.
int Number(const char** at, char stop, uint32_t* value) {
  const char* p = *at;
  uint64_t n = 0;
  if (*p < '0' || *p > '9') return 0;
  while (*p >= '0' && *p <= '9') {
    n = n * 10 + static_cast<uint64_t>(*p++ - '0');
    if (n > 0xFFFFFFFFu) return 0;
  }
  if (*p != stop) return 0;
  *value = static_cast<uint32_t>(n);
  *at = *p ? p + 1 : p;
  return 1;
}

// 1 when the comma-separated `options` hold exactly `word`.
int HasOption(const char* options, const char* word) {
  size_t length = std::strlen(word);
  for (const char* p = options; *p;) {
    const char* end = std::strchr(p, ',');
    size_t n = end ? static_cast<size_t>(end - p) : std::strlen(p);
    if (n == length && std::strncmp(p, word, length) == 0) return 1;
    if (!end) break;
    p = end + 1;
  }
  return 0;
}

}  // namespace

int ParseWalkMode(const char* text, WalkMode* mode) {
  if (std::strcmp(text, "auto") == 0) *mode = kWalkAuto;
  else if (std::strcmp(text, "mft") == 0) *mode = kWalkMft;
  else if (std::strcmp(text, "dirs") == 0) *mode = kWalkDirs;
  else return 0;
  return 1;
}

int ParseMountInfoLine(const char* line, MountInfo* mount) {
  static char field[kMountFieldCapacity];
  std::memset(mount, 0, sizeof *mount);
  const char* at = line;
  // mount id, parent id, major:minor, root, mount point, mount options,
  // optional fields up to "-", type, source, super options.
  if (!Field(&at, field, sizeof field) || !Field(&at, field, sizeof field) || !Field(&at, field, sizeof field))
    return 0;
  const char* number = field;
  if (!Number(&number, ':', &mount->major) || !Number(&number, 0, &mount->minor)) return 0;
  if (!Field(&at, mount->root, sizeof mount->root) || !Field(&at, mount->point, sizeof mount->point) ||
      !Field(&at, field, sizeof field))
    return 0;
  mount->readOnly = HasOption(field, "ro");
  for (;;) {
    if (!Field(&at, field, sizeof field)) return 0;
    if (std::strcmp(field, "-") == 0) break;
  }
  if (!Field(&at, mount->type, sizeof mount->type) || !Field(&at, mount->source, sizeof mount->source) ||
      !Field(&at, field, sizeof field))
    return 0;
  if (HasOption(field, "ro")) mount->readOnly = 1;
  return 1;
}

int MountMayBeNtfs(const MountInfo& mount) {
  for (const char* type : {"fuseblk", "fuse", "fuse.ntfs-3g", "fuseblk.ntfs-3g", "ntfs3", "ntfs"})
    if (std::strcmp(mount.type, type) == 0) return 1;
  return 0;
}

WalkChoice ChooseFolders(WalkMode mode, int ntfs, const char* reason) {
  return WalkChoice{0, mode == kWalkMft || ntfs, reason};
}

WalkChoice ChooseWalk(const WalkFacts& facts) {
  if (facts.mode == kWalkDirs) return WalkChoice{0, 0, "--walk dirs"};
  if (!facts.mountFound) return ChooseFolders(facts.mode, 0, "its mount is not in the mount table");
  const MountInfo& m = *facts.mount;
  if (!MountMayBeNtfs(m)) return ChooseFolders(facts.mode, 0, "it is on no NTFS mount");
  if (facts.crossFileSystems)
    return ChooseFolders(facts.mode, 0, "--cross-file-systems walks into other mounts, which the MFT does not hold");
  if (facts.everyFile) return ChooseFolders(facts.mode, 0, "every file is read, whatever its size");
  if (!facts.wholeVolume) return ChooseFolders(facts.mode, 0, "the mount shows only a folder of its volume");
  if (facts.mountsInside)
    return ChooseFolders(facts.mode, 1, "another file system is mounted inside it, hiding what the MFT lists there");
  // The kernel's drivers keep changes in memory a while; ntfs-3g writes
  // each one through to the device.
  int kernel = std::strcmp(m.type, "ntfs3") == 0 || std::strcmp(m.type, "ntfs") == 0;
  if (kernel && !m.readOnly)
    return ChooseFolders(facts.mode, 1,
                         "the kernel has it mounted read-write: what it has not written yet is not on the device");
  if (m.source[0] != '/') return ChooseFolders(facts.mode, 0, "its mount names no device or file by its full path");
  return WalkChoice{1, 0, nullptr};
}

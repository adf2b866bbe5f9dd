// The WOW64 path mapping (see wow64_path.h).
#include "sys/wow64_path.h"

#include <cstring>

namespace {

// Overlapping moves byte by byte: the shipped programs import no memmove.
void MoveBytes(char* to, const char* from, size_t count) {
  if (to < from) {
    for (size_t i = 0; i < count; ++i) to[i] = from[i];
  } else if (to > from) {
    for (size_t i = count; i > 0; --i) to[i - 1] = from[i - 1];
  }
}

char FoldAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

int SameIgnoringCase(const char* a, const char* b, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return 0;
  }
  return 1;
}

// Length of `directory` without a trailing backslash.
size_t DirectoryLength(const char* directory) {
  size_t length = std::strlen(directory);
  if (length > 0 && directory[length - 1] == '\\') --length;
  return length;
}

// What follows "<directory>\" in `path`, or null when `path` is not inside it.
const char* Inside(const char* path, const char* directory) {
  size_t length = DirectoryLength(directory);
  if (length == 0 || std::strlen(path) <= length || path[length] != '\\') return nullptr;
  return SameIgnoringCase(path, directory, length) ? path + length + 1 : nullptr;
}

// Whether `rest` (a path below System32) lies in `folder` ("spool\", ...).
int Under(const char* rest, const char* folder) {
  size_t length = std::strlen(folder);
  return std::strlen(rest) >= length && SameIgnoringCase(rest, folder, length);
}

// The folders below System32 that redirection leaves to the 64-bit side.
int Exempt(const char* rest, int driverStoreShared) {
  static const char* const kExempt[] = {"catroot\\", "catroot2\\", "drivers\\etc\\", "logfiles\\", "spool\\"};
  for (const char* folder : kExempt) {
    if (Under(rest, folder)) return 1;
  }
  return driverStoreShared && Under(rest, "driverstore\\");
}

// `out` = "<directory>\<rest>": the rest moved first, as `rest` may lie in `out`.
int Join(const char* directory, const char* rest, char* out, size_t capacity) {
  size_t directoryLength = DirectoryLength(directory);
  size_t restLength = std::strlen(rest);
  if (directoryLength + 1 + restLength + 1 > capacity) {
    out[0] = '\0';
    return 0;
  }
  MoveBytes(out + directoryLength + 1, rest, restLength + 1);
  MoveBytes(out, directory, directoryLength);
  out[directoryLength] = '\\';
  return 1;
}

}  // namespace

int MapWow64Path(const char* reported, const Wow64Directories& directories, char* out, size_t capacity) {
  if (!out || capacity == 0) return 0;
  if (!reported || !directories.system || !directories.wow64 || !directories.windows ||
      !DirectoryLength(directories.system) || !DirectoryLength(directories.wow64) ||
      !DirectoryLength(directories.windows)) {
    out[0] = '\0';
    return 0;
  }
  if (const char* rest = Inside(reported, directories.system)) {
    if (!Exempt(rest, directories.driverStoreShared)) return Join(directories.wow64, rest, out, capacity);
  } else if (const char* below = Inside(reported, directories.windows)) {
    if (Under(below, "sysnative\\")) return Join(directories.system, below + std::strlen("sysnative\\"), out, capacity);
    if (std::strlen(below) == std::strlen("regedit.exe") && Under(below, "regedit.exe"))
      return Join(directories.wow64, below, out, capacity);
  }
  size_t length = std::strlen(reported);
  if (length + 1 > capacity) {
    out[0] = '\0';
    return 0;
  }
  MoveBytes(out, reported, length + 1);
  return 1;
}

// Which file a path named when it was checked. A removal acts only on the
// very file that matched: between the check and the removal a directory of
// the path can be swapped for a link elsewhere.
#pragma once
#include <cstdint>

struct FileIdentity {
  // Volume serial number and file index on Windows; device and inode on POSIX.
  uint64_t volume;
  uint64_t file;
  // 0 when the system told nothing (Windows 9x, some network volumes).
  uint32_t known;
};

// 1 when both identities are known and name the same file, else 0.
inline int SameFileIdentity(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.volume == b.volume && a.file == b.file ? 1 : 0;
}

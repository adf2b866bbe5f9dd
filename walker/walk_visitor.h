// The one shape of a walk, whatever the platform: every regular file goes to
// `file`, and everything that could not be listed, opened or entered goes to
// `unreadable` with the system's error code (errno on POSIX, GetLastError()
// on Windows), so nothing is passed over without the caller hearing of it.
// Either callback returns 0 to end the walk. Platform-neutral.
#pragma once
#include <cstddef>
#include <cstdint>

struct WalkEntry {
  const char* path;        // full path, root included
  size_t directoryLength;  // path[0..directoryLength) is the directory, separator included
  const char* name;        // the file's name (path + directoryLength)
  uint64_t size;           // as the listing gave it, all 64 bits
  // The platform's own record, for whoever acts on the file: the POSIX
  // walk's TreeEntry (directory descriptor, device, inode), the Windows
  // walk's FindRecord.
  const void* native;
};

struct WalkVisitor {
  int (*file)(void* context, const WalkEntry* entry);
  int (*unreadable)(void* context, const char* path, uint32_t error);
  void* context;
};

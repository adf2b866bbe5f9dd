// One volume of an offline Windows, wherever it lies: a folder where it is
// mounted, or a file system inside a disk image (read in this process, or
// through the appliance for writing). Everything the offline rules need of
// a volume goes through this table, so that a rule (profile discovery, the
// hibernation refusal, which Run values go, where a file may be put back)
// is written once and every platform reaches it alike. Platform-neutral.
//
// Paths are '/'-separated below the volume's root ("" is the root), each
// name as the volume spells it (UTF-8). A name is data: a '\' or ':' inside
// it is part of the name, never a separator. No member follows a link.
#pragma once
#include <cstddef>
#include <cstdint>

enum VolumeEntryKind : uint32_t {
  kVolumeFile = 0,    // a regular file
  kVolumeFolder = 1,
  kVolumeLink = 2,    // a symbolic link, junction or other reparse point
  kVolumeOther = 3,   // a device, FIFO, socket: never read
};

struct VolumeEntry {
  const char* name;  // valid during the call only
  VolumeEntryKind kind;
  uint64_t size;
  // The same number for the same file while the run lasts (inode, MFT
  // record number); what removal checks before it acts.
  uint64_t identity;
};

enum VolumeChange : uint32_t {
  kVolumeChangeFailed = 0,   // `why` says why; nothing was changed
  kVolumeChangeDone = 1,
  kVolumeChangeNotSame = 2,  // the entry is another file now: left alone
};

struct OfflineVolumePort {
  void* context;

  // Calls `each` for every entry of `folder` but "." and "..", until it
  // returns 0. 0 when the folder cannot be listed, with the reason in `why`.
  int (*list)(void* context, const char* folder, int (*each)(void* eachContext, const VolumeEntry& entry),
              void* eachContext, char* why, size_t capacity);
  // The entry `path` itself. 0 (reason in `why`) when it cannot be looked at;
  // a missing one gives 0 with `*missing` set.
  int (*look)(void* context, const char* path, VolumeEntry* entry, int* missing, char* why, size_t capacity);
  // Up to `capacity` bytes of the regular file `path` from `offset`; the
  // count read, or -1.
  int64_t (*read)(void* context, const char* path, uint64_t offset, void* buffer, size_t capacity);
  // Copies the regular file `path` to the host file `hostFd` (new, opened
  // for writing). 1 when every byte came.
  int (*fetch)(void* context, const char* path, int hostFd, char* why, size_t capacity);

  // The members below are null when the volume is open read-only.

  // Puts the `size` bytes of `hostFd` in place of the regular file `path`
  // whole: written beside it under a fresh name, checked, then renamed over
  // it. The old file stays whole until then.
  int (*putWhole)(void* context, const char* path, int hostFd, uint64_t size, char* why, size_t capacity);
  // Removes `path` while it still is the regular file `identity` of `size`
  // bytes.
  VolumeChange (*remove)(void* context, const char* path, uint64_t identity, uint64_t size, char* why,
                         size_t capacity);
  // Writes the `size` bytes of `hostFd` as the new file `path`; an entry
  // already there (a link included) is never followed nor replaced.
  int (*writeNew)(void* context, const char* path, int hostFd, uint64_t size, char* why, size_t capacity);
};

// The walk of a disk image's drives through the libguestfs appliance: one
// listing of every name per drive (find0), then the entries' metadata one
// directory at a time in batches (lstatnslist), never one call per file.
// Every regular file goes to the walk visitor as "IMAGE:C:\path"; a drive
// that could not be listed and an entry that vanished go to `unreadable`.
// POSIX.
#pragma once
#include <cstdint>

#include "sys/guest_disk_posix.h"
#include "walker/walk_visitor.h"

// The walk's record of one file (WalkEntry::native).
struct GuestEntry {
  GuestDisk* disk;
  uint32_t drive;             // index into disk->drives
  const char* appliancePath;  // "/C/WINDOWS/x.exe"
  uint64_t size;
  uint64_t device;
  uint64_t inode;
};

struct GuestWalkStats {
  uint64_t names;        // everything the listings gave
  uint64_t directories;  // batches asked for
};

// Walks every mounted drive of `disk`; rows begin with `imageName` and ':'.
// 0 when the visitor ended the walk.
int WalkGuestDisk(GuestDisk* disk, const char* imageName, const WalkVisitor& visitor, GuestWalkStats* stats);

// The walk of a disk image read in this process: every NTFS and FAT file
// system in turn, folder by folder, depth-first, each folder entered once
// (by its metadata address), so that memory grows with the depth and the
// widest folder, never with the number of files. Every regular file goes
// to the walk visitor as "IMAGE:C:\path", each name escaped as
// EscapeNonWindowsName does (the Windows system volume is C;
// another file system is named as the person knows the disk: "partition
// 2", "whole disk"); a file system, folder or entry that cannot be read goes
// to `unreadable`. Links and reparse points are never followed. POSIX.
#pragma once
#include <cstddef>
#include <cstdint>

#include "image/tsk_volume_posix.h"
#include "walker/walk_visitor.h"

// The walk's record of one file (WalkEntry::native).
struct ImageFileRecord {
  ImageVolume* volume;
  uint32_t volumeIndex;
  uint64_t identity;  // its metadata address
  uint64_t size;
  // "WINDOWS/system32/x.exe": its path below the drive, as the offline
  // volume table names it (a '\\' inside a name is part of the name).
  const char* below;
};

struct ImageWalkStats {
  uint64_t names;    // entries the listings gave
  uint64_t folders;  // folders listed
};

// The Windows installation of the image, found without running anything of
// it: the first file system whose root holds WINDOWS or WINNT (names in any
// case, an exact spelling first) holding system32\config\SYSTEM. Its
// drive letters are those the SYSTEM hive's MountedDevices gives the
// partitions of this disk (an MBR disk's signature and the partition's
// offset); the system volume is C when it names none. A letter only names
// rows and the Windows paths Run values are matched against. A SYSTEM
// hive that cannot be opened is no Windows recognised (`unreadableHive`):
// every file system is then named by its partition.
struct ImageSystem {
  int found;
  int unreadableHive;
  uint32_t volume;
  char systemFolder[256];             // as spelt there
  char letters[kMaxImageVolumes][2];  // "C", or "" for none
};
void FindImageSystem(ImageDisk* disk, ImageSystem* system);

// The volume's letter ("C"), else its own label ("partition 2").
const char* ImageDriveLabel(const ImageDisk& disk, const ImageSystem& system, uint32_t volume);

// 0 when the visitor ended the walk.
int WalkImageDisk(ImageDisk* disk, const ImageSystem& system, const char* imageName, const WalkVisitor& visitor,
                  ImageWalkStats* stats);

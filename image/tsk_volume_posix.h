// The file systems of a disk image, read in this process by The Sleuth Kit
// over an NbdDisk: the partition table (none: one file system at offset
// 0), each NTFS and FAT file system (others are passed over), a folder's
// entries, and a file's bytes by its metadata address. What the library
// cannot read is trouble, never an empty folder or a clean file. Read only:
// nothing here writes to the image. POSIX.
#pragma once
#include <cstddef>
#include <cstdint>

#include "image/nbd_disk_posix.h"
#include "remedy/offline_volume_port.h"

struct TSK_IMG_INFO;
struct TSK_VS_INFO;
struct TSK_FS_INFO;

enum : uint32_t {
  kMaxImageVolumes = 32,
  kImageLabelCapacity = 64,
  kImageTroubleCapacity = 256,
};

struct ImageVolume {
  TSK_FS_INFO* fs;  // owned by the ImageDisk; null when it could not be opened
  // "partition 2" (the number Linux gives it) or "whole disk".
  char label[kImageLabelCapacity];
  int ntfs;
  uint64_t root;                        // the root folder's metadata address
  uint64_t offset;                      // where it starts on the disk, in bytes
  char trouble[kImageTroubleCapacity];  // why it could not be opened
};

struct ImageDisk {
  NbdDisk nbd;
  TSK_IMG_INFO* img;  // owned
  TSK_VS_INFO* vs;    // owned; null for a disk without a partition table
  int mbr;            // the partition table is a DOS one
  ImageVolume volumes[kMaxImageVolumes];
  uint32_t volumeCount;
};

// Opens every NTFS and FAT file system of the image. A partition of a
// Windows type that cannot be opened is kept with its `trouble`. 0 with the
// reason in `why` when nothing of the image can be read, or it holds no
// NTFS or FAT file system; the disk is then closed.
int OpenImageDisk(const char* image, const char* format, ImageLocking locking, ImageDisk* disk, char* why,
                  size_t capacity);
void CloseImageDisk(ImageDisk* disk);

// One entry of a folder; `trouble` is non-null for one whose record cannot
// be read (then only `name` and `identity` hold).
typedef int (*ImageEntryEach)(void* context, const VolumeEntry& entry, const char* trouble);

// Calls `each` for every entry of the folder at metadata address `folder`,
// in the order of its index, until it returns 0: no "." or "..", no
// deleted name, no short (8.3) alias, nothing The Sleuth Kit adds of its
// own ($OrphanFiles), and at an NTFS root none of the file system's own
// files ($MFT...). 0 when the folder cannot be listed (reason in `why`);
// -1 when `each` ended it.
int ListImageFolder(ImageVolume* volume, uint64_t folder, ImageEntryEach each, void* context, char* why,
                    size_t capacity);

// The same for only the entries whose name equals `name` ignoring ASCII
// case (only theirs are read).
int FindImageEntries(ImageVolume* volume, uint64_t folder, const char* name, ImageEntryEach each, void* context,
                     char* why, size_t capacity);

// Up to `capacity` bytes of the unnamed data of the regular file at
// metadata address `file` from `offset`: the count read (0 at its end), or
// -1.
int64_t ReadImageFile(ImageVolume* volume, uint64_t file, uint64_t offset, void* buffer, size_t capacity);

// The entry `path` ('/'-separated below the root, each name exactly as the
// volume spells it; "" is the root), reached only through folders, never
// through a link. 0 with `*missing` set when some name is not there.
int LookImagePath(ImageVolume* volume, const char* path, VolumeEntry* entry, int* missing, char* why, size_t capacity);

// The read side of the offline volume table over one file system of the
// image; the writing members are null. `port->context` is `volume`.
void ImageVolumePort(ImageVolume* volume, OfflineVolumePort* port);

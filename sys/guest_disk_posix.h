// A virtual machine's disk image opened through libguestfs, as an ordinary
// user: the appliance launched over it (read-only unless the run writes),
// the Windows installation found by inspection, each fixed drive mounted in
// the appliance at "/<letter>". One owner for the libguestfs handle. POSIX.
#pragma once
#include <cstddef>
#include <cstdint>

typedef struct guestfs_h guestfs_h;

// One owner for a NULL-terminated array of malloc'd strings, as libguestfs
// hands them out.
struct OwnedGuestStrings {
  char** list;
  explicit OwnedGuestStrings(char** l) : list(l) {}
  ~OwnedGuestStrings();
  OwnedGuestStrings(const OwnedGuestStrings&) = delete;
  OwnedGuestStrings& operator=(const OwnedGuestStrings&) = delete;
};

enum : uint32_t {
  kMaxGuestDrives = 26,
  kGuestNameCapacity = 256,
};

struct GuestDrive {
  // "C", or when inspection told no letter what the person knows of the
  // image: "partition 2", "whole disk" (GuestDriveLabel).
  char label[kGuestNameCapacity];
  char device[kGuestNameCapacity];
  char mountPoint[16];  // "/C", "/fs1": where the appliance mounts it
  int system;           // holds the Windows installation
  int mounted;
};

struct GuestDisk {
  guestfs_h* handle;  // owned
  int writable;
  // "windows": found by inspection; 0: no Windows installation was found
  // and every NTFS and FAT file system stands in for a drive.
  int inspected;
  // Why inspection failed (a damaged SYSTEM hive, say), "" when it ran.
  char inspectionError[kGuestNameCapacity];
  char systemRoot[kGuestNameCapacity];  // "C:\WINDOWS" as the system has it, when inspected
  GuestDrive drives[kMaxGuestDrives];
  uint32_t driveCount;
};

// 1 when another process has `path` open for writing (a running virtual
// machine, a copy in progress); its id goes to `pid`. Only processes this
// user may look at are seen.
int ImageOpenForWriting(const char* path, long* pid);

// How the person asked an image to be opened: --format (null when none
// was given) and --allow-backing-file.
struct GuestDiskRequest {
  const char* format;
  int allowBackingFile;
  int writable;
};

// Opens `image` as ImageFormatOf decides (for writing only when
// `writable`; else beneath a qcow2 overlay of this run's that names it with
// that format, so that nothing probes the guest's bytes), launches the
// appliance, inspects (unmounting what inspection mounted, even when it
// failed) and mounts every drive read-only; when inspection fails or finds
// no Windows, every NTFS and FAT file system instead. A backing file, where allowed, must itself be a
// regular file whose header agrees with the format the one above states,
// layer by layer. 0 with the reason in `why`; the disk is then closed.
int OpenGuestDisk(const char* image, const GuestDiskRequest& request, GuestDisk* disk, char* why, size_t capacity);

// Mounts every drive again for writing (the disk was opened writable).
// 0 with the reason in `why`; the disk is then closed.
int RemountGuestDiskWritable(GuestDisk* disk, char* why, size_t capacity);

// Unmounts, shuts the appliance down (where a write's last error surfaces)
// and closes the handle. 1 when everything written reached the image.
int CloseGuestDisk(GuestDisk* disk);

// The appliance's words for the last failure of `disk`.
const char* GuestError(const GuestDisk* disk);

// "C:\x\y" for the appliance path "/C/x/y" of a drive (the label is the
// letter), or "partition 1:\x\y" for a drive without one. 1 when it fit.
// The label of a drive without a letter, from its device in the appliance:
// the image is the appliance's first disk, so "/dev/sda2" is "partition 2"
// and "/dev/sda" the "whole disk"; another device (a logical volume) keeps
// its name. `out` is always terminated.
void GuestDriveLabel(const char* device, char* out, size_t capacity);

int GuestWindowsPath(const GuestDrive& drive, const char* appliancePath, char* out, size_t capacity);

// The mounted drive of `disk` that is the file system the in-process reader
// labels `volumeLabel` ("partition 2" is "/dev/sda2", "whole disk"
// "/dev/sda"). 0 when the appliance mounted none.
int FindGuestDrive(const GuestDisk& disk, const char* volumeLabel, uint32_t* drive);

// "/C/x/y.exe" for `below` ("x/y.exe", below the drive's root). 0 when it
// does not fit, or has an empty, "." or ".." part, which would name
// another file in the appliance.
int GuestPathBelow(const GuestDrive& drive, const char* below, char* out, size_t capacity);

// How a PATH is listed: by reading its NTFS volume's MFT from the device
// the volume lives on, or folder by folder through the mount. The rule is
// here, once: the MFT is read only where the device's bytes and the
// mount's view cannot differ; anywhere else the folders are walked, and
// the reason is said. Also the reading of one line of
// /proc/self/mountinfo. Platform-neutral.
#pragma once
#include <cstddef>
#include <cstdint>

enum WalkMode : uint32_t {
  kWalkAuto = 0,  // the MFT where the rule allows it, else folders
  kWalkMft = 1,   // the same, but a PATH listed by folders is said on the console
  kWalkDirs = 2,  // folders, always
};

// 1 with `*mode` for "auto", "mft" or "dirs".
int ParseWalkMode(const char* text, WalkMode* mode);

enum : uint32_t {
  kMountFieldCapacity = 4096,
};

// What one line of /proc/self/mountinfo says of a mount.
struct MountInfo {
  uint32_t major, minor;              // of the file system's device number
  char root[kMountFieldCapacity];     // the file system's folder mounted there ("/": all of it)
  char point[kMountFieldCapacity];    // where, unescaped
  int readOnly;                       // the mount's or the file system's "ro"
  char type[64];                      // "fuseblk", "fuse", "ntfs3", "ext4"...
  char source[kMountFieldCapacity];   // the device or file, unescaped
};

// 1 when `line` (without its newline) is a whole mountinfo line that fits.
int ParseMountInfoLine(const char* line, MountInfo* mount);

// What is known of a PATH's mount before its device is opened.
struct WalkFacts {
  WalkMode mode;
  int mountFound;       // the PATH's mount was found in the mount table
  const MountInfo* mount;
  int wholeVolume;      // the mount shows the file system from its root
  int mountsInside;     // another file system is mounted below this one
  int crossFileSystems; // the person asked to walk into other file systems
  int everyFile;        // every file is read, whatever its size
};

struct WalkChoice {
  int useMft;
  // Said on the console (not only in the JSON record): the person asked
  // for the MFT, or the volume is NTFS and yet walked by folders.
  int sayOnConsole;
  const char* reason;  // why folders, when not the MFT
};

// The choice before the device is opened. A choice of the MFT may still
// end in folders: when the device cannot be read, holds no NTFS volume the
// reader accepts, disagrees with the mount, or the mount does not confirm
// a file the MFT lists (ChooseFolders).
WalkChoice ChooseWalk(const WalkFacts& facts);

// Folders after all, for `reason`, said on the console unless the person
// left the choice to the program and the volume was no NTFS one.
WalkChoice ChooseFolders(WalkMode mode, int ntfs, const char* reason);

// The mount's file system type may be NTFS: ntfs-3g (a FUSE mount of a
// block device or file) or the kernel's own drivers.
int MountMayBeNtfs(const MountInfo& mount);

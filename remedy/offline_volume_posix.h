// Finding one's way on a mounted Windows volume: names looked up without
// regard to case (the volume may be mounted case-sensitively), the system
// folder, the profile hives, and what forbids writing to it. POSIX.
#pragma once
#include <cstddef>
#include <cstdint>

#include "remedy/offline_rules.h"
#include "remedy/offline_windows.h"
#include "sys/owned_fd_posix.h"

// The entry of `directory` whose name equals `name` ignoring ASCII case
// (an exact match wins). `wantDirectory` 1: only a directory, 0: only a
// regular file. Links are never taken. The full path goes to `out`. 1 when found.
int FindEntryIgnoringCase(const char* directory, const char* name, int wantDirectory, char* out, size_t capacity);

// "WINDOWS" or "WINNT" under a volume's root, as it is spelt there.
int FindSystemFolder(const char* volumeRoot, char* name, size_t capacity);

// 1 when the volume's system folder holds a Windows 9x registry (USER.DAT
// that is not an NT hive) and the volume holds no NT profile hive.
int IsWindows9xVolume(const char* volumeRoot, const char* systemFolder);

// The folder where the file system holding `path` is mounted (climbs while
// the device stays the same). 1 on success.
int MountRootOf(const char* path, char* out, size_t capacity);

// The hiberfil.sys files of `directory` (a volume's root), in any spelling
// of the name, by VolumeHibernation; `hiberfil` gets the full path of the
// file that answers, or `directory` when it cannot be listed.
HibernationState HoldsHibernatedFile(const char* directory, char* hiberfil, size_t capacity, char* why,
                                     size_t whyCapacity);

// The same at the root of the volume holding `path`.
HibernationState IsOnHibernatedVolume(const char* path, char* hiberfil, size_t capacity, char* why,
                                      size_t whyCapacity);

// 1 when `path` lies on a read-only mount.
int IsOnReadOnlyMount(const char* path);

// The volume table over a mounted folder: every path is reached from the
// root's descriptor one folder at a time (openat, O_NOFOLLOW), so that no
// link the volume holds chooses where we read or write. One owner for the
// root's descriptor.
struct MountedVolume {
  OwnedFd rootFd;
  char root[kMountedPathCapacity];
};

// Opens `root` (a folder the person named, links on its way followed) and fills
// `port`; its writing members are null unless `writable`. 0 with the
// system's reason in `why`.
int OpenMountedVolume(const char* root, int writable, MountedVolume* volume, OfflineVolumePort* port, char* why,
                      size_t capacity);

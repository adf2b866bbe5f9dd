// Finding one's way on a mounted Windows volume: names looked up without
// regard to case (the volume may be mounted case-sensitively), the system
// folder, the profile hives, and what forbids writing to it. POSIX.
#pragma once
#include <cstddef>
#include <cstdint>

#include "remedy/offline_windows.h"

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

// 1 when `directory` holds a hiberfil.sys, in any spelling of its name,
// whose header says the system is hibernated; its path goes to `hiberfil`.
int HoldsHibernatedFile(const char* directory, char* hiberfil, size_t capacity);

// 1 when the volume holding `path` has such a hiberfil.sys at its root.
int IsOnHibernatedVolume(const char* path, char* hiberfil, size_t capacity);

// 1 when the file at `path` (a hiberfil.sys) says the system is hibernated.
int IsHibernatedFile(const char* path);

// 1 when `path` lies on a read-only mount.
int IsOnReadOnlyMount(const char* path);

// One profile's hive, as ForEachProfileHive finds it.
struct ProfileHive {
  int folderFd;         // the profile folder, opened without following a link (-1 with trouble)
  const char* name;     // the hive's name as spelt there
  const char* hive;     // its path
  const char* profile;  // the profile folder's path
  const char* user;     // the profile folder's name
  const char* trouble;  // null; or why this profile's hive is not cleaned
};

// Every profile hive of the volume: "Documents and Settings/*/NTUSER.DAT"
// and "Users/*/NTUSER.DAT", names ignoring case. A hive that is a link, two
// hives whose names differ only in case, and a profile folder that is a link
// to a hive no other entry reaches come with `trouble` set. `found` returns
// 0 to stop. Returns the number of hives found.
uint32_t ForEachProfileHive(const char* volumeRoot, int (*found)(void* context, const ProfileHive& hive),
                            void* context);

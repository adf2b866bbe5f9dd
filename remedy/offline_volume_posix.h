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

// Whether a volume holds a hibernated Windows, which must not be written to.
// What cannot be read is no answer: the check fails closed.
enum HibernationState : uint32_t {
  kNotHibernated = 0,
  kHibernated = 1,
  kHibernationUnknown = 2,  // a folder could not be listed or a hiberfil.sys read
};

// Whether the hiberfil.sys at `path` says the system is hibernated. It is
// read without following a link or waiting on a FIFO; one that is no
// regular file, or too short for its header, is kHibernationUnknown.
// `why` says why when the answer is kHibernationUnknown.
HibernationState HibernationOfFile(const char* path, char* why, size_t whyCapacity);

// The hiberfil.sys files of `directory`, in any spelling of the name (a
// missing one is kNotHibernated). kHibernated: `hiberfil` is the file saying
// so. kHibernationUnknown: `hiberfil` is what could not be read and `why`
// why; one file saying hibernated still wins.
HibernationState HoldsHibernatedFile(const char* directory, char* hiberfil, size_t capacity, char* why,
                                     size_t whyCapacity);

// The same at the root of the volume holding `path`.
HibernationState IsOnHibernatedVolume(const char* path, char* hiberfil, size_t capacity, char* why,
                                      size_t whyCapacity);

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

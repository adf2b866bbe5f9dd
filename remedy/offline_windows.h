// What a mounted Windows volume tells a scanner that runs beside it rather
// than on it: which drive letter a mounted folder stands for, a file's
// Windows path, the environment a user's Run values expand in, and the
// first bytes that say a volume or hive must not be written.
// Platform-neutral.
#pragma once
#include <cstddef>
#include <cstdint>

#include "remedy/command_line.h"

enum : uint32_t {
  kMaxOfflineDrives = 26,
  kMountedPathCapacity = 4096,
  kMaxOfflineVariables = 64,
  kOfflineNameCapacity = 128,
};

// A drive letter and the folder where its volume is mounted (canonical:
// absolute, no trailing '/', no "." or ".." parts, no links).
struct OfflineDrive {
  char letter;
  char mounted[kMountedPathCapacity];
};

struct OfflineDrives {
  OfflineDrive drives[kMaxOfflineDrives];
  uint32_t count;
};

// Adds or replaces a letter. 0 when the folder does not fit or the table is full.
int SetOfflineDrive(OfflineDrives* drives, char letter, const char* mounted);

// 1 when a '/'-separated path holds, inside a name, a character no Windows
// name can hold ('\', ':', '*', '?', '"', '<', '>', '|' or a control
// character). Linux and a damaged NTFS allow them; Windows would read a '\'
// as a separator, so such a name must never be matched as a Windows path.
int HoldsNonWindowsName(const char* path);
// The same for the part of a canonical mounted path below its drive's folder
// (0 when no drive holds it).
int HoldsNonWindowsNameOnDrive(const OfflineDrives& drives, const char* mounted);

// The Windows path ("C:\WINDOWS\system32\x.exe") of a canonical mounted path,
// through the drive whose folder holds it (the longest match). 1 on success;
// 0 when no drive holds it, a name holds what no Windows name can
// (HoldsNonWindowsName), or the result does not fit `capacity`.
int WindowsPathOf(const OfflineDrives& drives, const char* mounted, char* out, size_t capacity);

// Environment variables as a user's Run values see them offline: names
// compared without regard to ASCII case, as Windows does.
struct OfflineVariable {
  char name[kOfflineNameCapacity];
  char value[kEnvironmentValueCapacity];
};

struct OfflineEnvironment {
  OfflineVariable variables[kMaxOfflineVariables];
  uint32_t count;
};

// Sets a variable (a later call for the same name replaces the value). 0
// when the name or value does not fit, or the table is full.
int SetOfflineVariable(OfflineEnvironment* environment, const char* name, const char* value);

// A CommandLineHost whose lookup reads `environment` (single-byte code page).
CommandLineHost OfflineCommandLineHost(const OfflineEnvironment* environment);

// First bytes of hiberfil.sys: 1 when they hold a hibernated (or resuming)
// system ("hibr", "rstr" in either case); a file that was woken from
// ("wake") or cleared is not.
int IsHibernatedHeader(const unsigned char* bytes, size_t length);

enum HiveHeaderState : uint32_t {
  kHiveHeaderClean = 0,
  kHiveHeaderNotRegf = 1,      // not a registry hive of the NT family
  kHiveHeaderLogPending = 2,   // its two sequence numbers differ: a transaction log is not applied
};

// The state told by a hive's base block (at least its first 12 bytes).
HiveHeaderState CheckHiveHeader(const unsigned char* bytes, size_t length);

// The length the base block gives to the hive bins that follow it (offset
// 0x28; at least 48 bytes of the base block). 0 when there are too few bytes.
uint32_t HiveBinsLength(const unsigned char* bytes, size_t length);

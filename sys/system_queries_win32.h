// Windows version, the fixed drives, volume space and cluster size, the
// debug privilege and the system's words for an error (Win32).
#pragma once
#include <cstddef>
#include <cstdint>

// 1 when GetVersionExA succeeded; *code is then the version code of
// MapOsVersion (0 for an unknown release). 0 on failure, *code untouched.
int GetOsVersionCode(int32_t* code);

// Total, used (total - free) and free bytes of the volume at `root`
// ("C:\"). Any output may be null. 1 on success; on failure nothing is written.
int GetDiskSpace(const char* root, uint64_t* total, uint64_t* used, uint64_t* free);

// Bytes per cluster of the volume at `root`. 1 on success; on failure nothing is written.
int GetClusterSize(const char* root, uint32_t* size);

// Switches "SeDebugPrivilege" of the process token on (non-zero) or off.
// 1 when the adjustment took effect (the token holds the privilege), else 0.
int SetDebugPrivilege(int enable);

// 1 when the system has security (NT) and the process's token is not an
// enabled member of the Administrators group: a standard account, or an
// administrator's filtered token on Vista and later when not elevated, may
// not remove a worm from the system's folders. 0 otherwise, and where it
// cannot be told (9x, NT 4.0).
int LacksAdministratorRights();

enum : uint32_t {
  kDriveListSize = 255,  // the drive-string list asked for, in characters
  kMaxFixedDrives = 26,  // drive letters A..Z
};

// The roots ("C:\") of the fixed drives, in the order the system lists them.
struct FixedDrives {
  uint32_t count;
  char roots[kMaxFixedDrives][4];
};

// None when the list fails or does not fit.
FixedDrives ListFixedDrives();

// The system's words for an error code (FormatMessage where it works,
// else the number), on one line.
void Win32ErrorText(uint32_t error, char* out, size_t capacity);

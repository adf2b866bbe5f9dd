// Win32 system queries (see system_queries_win32.h): version code, volume space,
// cluster size, debug privilege, error texts.
#include "sys/system_queries_win32.h"

#include <windows.h>

#include <cstdio>

#include "sys/handle_win32.h"
#include "sys/os_version.h"
#include "sys/system_library_win32.h"

#if !defined(_WIN64)
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA size");
static_assert(sizeof(TOKEN_PRIVILEGES) == 16, "TOKEN_PRIVILEGES size");
#endif

int GetOsVersionCode(int32_t* code) {
  OSVERSIONINFOA info;
  ZeroMemory(&info, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;  // 148 bytes
  if (!GetVersionExA(&info)) return 0;
  *code = MapOsVersion(info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion);
  return 1;
}

int GetDiskSpace(const char* root, uint64_t* total, uint64_t* used, uint64_t* freeBytes) {
  int32_t code = 0;
  if (!GetOsVersionCode(&code)) code = 0;
  OwnedModule library(LoadSystemLibrary("Kernel32.dll"));
  if (!library.valid()) return 0;
  HMODULE kernel = library.get();

  int result = 0;
  uint64_t totalBytes = 0, usedBytes = 0, freeTotal = 0;
  if (code == 95) {
    // Windows 95 before OSR2 lacks the Ex form; cluster counts are 32-bit there.
    auto getDiskFreeSpace = BindEntryPoint<decltype(&GetDiskFreeSpaceA)>(kernel, "GetDiskFreeSpaceA");
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (getDiskFreeSpace &&
        getDiskFreeSpace(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters)) {
      const uint64_t clusterBytes = static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector;
      totalBytes = clusterBytes * totalClusters;
      usedBytes = clusterBytes * static_cast<DWORD>(totalClusters - freeClusters);
      freeTotal = clusterBytes * freeClusters;
      result = 1;
    }
  } else {
    auto getDiskFreeSpaceEx = BindEntryPoint<decltype(&GetDiskFreeSpaceExA)>(kernel, "GetDiskFreeSpaceExA");
    ULARGE_INTEGER callerFree, volumeTotal, volumeFree;
    // The caller's quota view is not used: free is the whole volume's.
    if (getDiskFreeSpaceEx && getDiskFreeSpaceEx(root, &callerFree, &volumeTotal, &volumeFree)) {
      totalBytes = volumeTotal.QuadPart;
      usedBytes = volumeTotal.QuadPart - volumeFree.QuadPart;
      freeTotal = volumeFree.QuadPart;
      result = 1;
    }
  }
  if (result) {
    if (total) *total = totalBytes;
    if (used) *used = usedBytes;
    if (freeBytes) *freeBytes = freeTotal;
  }
  return result;
}

int GetClusterSize(const char* root, uint32_t* size) {
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
  if (!GetDiskFreeSpaceA(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters)) return 0;
  *size = sectorsPerCluster * bytesPerSector;
  return 1;
}

int SetDebugPrivilege(int enable) {
  OwnedHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.receive())) return 0;
  int result = 0;
  TOKEN_PRIVILEGES privileges;
  ZeroMemory(&privileges, sizeof privileges);
  if (LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &privileges.Privileges[0].Luid)) {
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    // The call succeeds even when the token lacks the privilege; only the
    // last error (ERROR_NOT_ALL_ASSIGNED) tells.
    AdjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof privileges, nullptr, nullptr);
    result = GetLastError() == ERROR_SUCCESS;
  }
  return result;
}

int LacksAdministratorRights() {
  // Loaded with the program (a static import); Windows 2000 and later have it.
  HMODULE advapi = GetModuleHandleA("Advapi32.dll");
  auto checkTokenMembership =
      advapi ? BindEntryPoint<decltype(&CheckTokenMembership)>(advapi, "CheckTokenMembership") : nullptr;
  if (!checkTokenMembership) return 0;
  // S-1-5-32-544, BUILTIN\Administrators, laid out as a SID with two sub-authorities.
  struct {
    BYTE revision, subAuthorityCount;
    SID_IDENTIFIER_AUTHORITY authority;
    DWORD subAuthority[2];
  } administrators = {SID_REVISION, 2, SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};
  BOOL member = FALSE;
  if (!checkTokenMembership(nullptr, &administrators, &member)) return 0;
  return member ? 0 : 1;
}

FixedDrives ListFixedDrives() {
  FixedDrives drives{};
  char listed[kDriveListSize + 1];
  ZeroMemory(listed, sizeof listed);
  DWORD length = GetLogicalDriveStringsA(kDriveListSize, listed);
  // A list that did not fit (or failed) counts as empty.
  if (length == 0 || length > kDriveListSize) return drives;
  for (const char* root = listed; *root && drives.count < kMaxFixedDrives; root += lstrlenA(root) + 1) {
    if (lstrlenA(root) >= static_cast<int>(sizeof drives.roots[0])) continue;
    if (GetDriveTypeA(root) != DRIVE_FIXED) continue;
    lstrcpynA(drives.roots[drives.count++], root, sizeof drives.roots[0]);
  }
  return drives;
}

void Win32ErrorText(uint32_t error, char* out, size_t capacity) {
  if (!capacity) return;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, out,
                                static_cast<DWORD>(capacity), nullptr);
  // The system's sentence ends in a period and a line break: a reason is one line.
  while (length > 0 && (out[length - 1] == '\n' || out[length - 1] == '\r' || out[length - 1] == '.')) --length;
  if (length == 0) {
    std::snprintf(out, capacity, "error %u", error);
    return;
  }
  out[length] = 0;
}

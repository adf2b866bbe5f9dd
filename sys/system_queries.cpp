// Win32 system queries (see system_queries.h).
#include "sys/system_queries.h"

#include <windows.h>

#include "sys/os_version.h"

int GetOsVersionCode(int32_t* code) {
  OSVERSIONINFOA info;
  ZeroMemory(&info, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;  // 148 bytes
  if (!GetVersionExA(&info)) return 0;
  *code = MapOsVersion(info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion);
  return 1;
}

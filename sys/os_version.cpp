// Version code table (see os_version.h).
#include "sys/os_version.h"

int32_t MapOsVersion(uint32_t platformId, uint32_t major, uint32_t minor) {
  const bool nt = platformId == kPlatformWin32Nt;
  const bool windows9x = platformId == kPlatformWin32Windows;
  if (major == 4) {
    if (minor == 0) return windows9x ? 95 : nt ? 40 : 0;
    if (minor == 10) return windows9x ? 98 : 0;
    if (minor == 90) return windows9x ? 99 : 0;
    return 0;
  }
  if (major == 3 && minor == 51) return nt ? 351 : 0;
  if (major == 5 && nt) {
    if (minor == 0) return 2000;
    if (minor == 1) return 2002;
    if (minor == 2) return 2003;
  }
  return 0;
}

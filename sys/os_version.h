// Windows version codes from the numbers GetVersionExA reports. Platform-neutral.
#pragma once
#include <cstdint>

enum : uint32_t { kPlatformWin32Windows = 1, kPlatformWin32Nt = 2 };

// 95, 98, 99 (Me), 40 (NT 4.0), 351, 2000, 2002 (XP), 2003, or 0 for any
// other combination of platform id and version.
int32_t MapOsVersion(uint32_t platformId, uint32_t major, uint32_t minor);

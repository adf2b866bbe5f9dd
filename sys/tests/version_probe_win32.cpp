// Child program of the system query tests: started under a given Windows
// version, it prints what GetOsVersionCode and GetDiskSpace report there,
// next to the figures of both free-space calls for the drive it is given.
#include <windows.h>

#include <cstdio>

#include "sys/system_queries_win32.h"

int main(int argc, char** argv) {
  const char* root = argc > 1 ? argv[1] : "C:\\";
  int32_t code = -1;
  int versionResult = GetOsVersionCode(&code);
  unsigned long long total = 0, used = 0, freeBytes = 0;
  uint64_t t = 0, u = 0, f = 0;
  int spaceResult = GetDiskSpace(root, &t, &u, &f);
  total = t, used = u, freeBytes = f;

  DWORD sectors = 0, bytes = 0, freeClusters = 0, totalClusters = 0;
  GetDiskFreeSpaceA(root, &sectors, &bytes, &freeClusters, &totalClusters);
  ULARGE_INTEGER callerFree = {}, exTotal = {}, exFree = {};
  GetDiskFreeSpaceExA(root, &callerFree, &exTotal, &exFree);
  printf("%d %d %d %llu %llu %llu %lu %lu %lu %lu %llu %llu\n", versionResult, code, spaceResult, total, used,
         freeBytes, sectors, bytes, freeClusters, totalClusters,
         static_cast<unsigned long long>(exTotal.QuadPart), static_cast<unsigned long long>(exFree.QuadPart));
  return 0;
}

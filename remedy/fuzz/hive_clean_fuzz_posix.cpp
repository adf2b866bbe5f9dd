// libFuzzer target for offline Run-value cleaning: each input is a hive
// file's bytes, put in a folder as NTUSER.DAT and cleaned of the values that
// start a removed file (open, collect, rewrite beside it, read back, swap).
// Whatever the bytes, the cleaning ends in one of its outcomes; when it
// does not end as done, the file is byte for byte as it was, and when it
// does, the file is a hive libhivex opens again.
#include <dirent.h>
#include <fcntl.h>
#include <hivex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "remedy/hive_posix.h"
#include "sys/owned_fd_posix.h"

namespace {

std::string gFolder;
int gFolderFd = -1;

void EmptyFolder(const std::string& path) {
  DIR* d = opendir(path.c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  closedir(d);
  for (const std::string& n : names) unlink((path + "/" + n).c_str());
}

std::string ReadAll(int folderFd, const char* name) {
  OwnedFd fd(openat(folderFd, name, O_RDONLY | O_NOFOLLOW));
  std::string bytes;
  char block[65536];
  ssize_t got;
  while (fd.valid() && (got = read(fd.get(), block, sizeof block)) > 0) bytes.append(block, static_cast<size_t>(got));
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gFolder = "/tmp/qx-hive-fuzz-" + std::to_string(getpid());
  mkdir(gFolder.c_str(), 0700);
  mkdir((gFolder + "/backup").c_str(), 0700);
  gFolderFd = open(gFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return gFolderFd >= 0 ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (4u << 20)) return 0;
  EmptyFolder(gFolder + "/backup");
  unlinkat(gFolderFd, "NTUSER.DAT", 0);
  {
    OwnedFd hive(openat(gFolderFd, "NTUSER.DAT", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!hive.valid() || write(hive.get(), data, size) != static_cast<ssize_t>(size)) abort();
  }
  OfflineEnvironment environment{};
  SetOfflineVariable(&environment, "SystemRoot", "C:\\WINDOWS");
  SetOfflineVariable(&environment, "USERPROFILE", "C:\\Documents and Settings\\alice");
  const char* removed[] = {"C:\\WINDOWS\\system32\\wormy32.exe", "C:\\Documents and Settings\\alice\\w.exe"};
  HiveBackup backup;
  InitHiveBackup(&backup, (gFolder + "/backup").c_str());
  std::string path = gFolder + "/NTUSER.DAT";
  HiveCleanRequest request{gFolderFd, "NTUSER.DAT", path.c_str(), "alice", removed, 2, &environment, &backup, 0, 0};
  uint32_t deleted = 0, kept = 0;
  char reason[1024];
  HiveCleanOutcome outcome = CleanHiveRunValues(request, HiveValueListener{nullptr, nullptr}, &deleted, &kept,
                                                reason, sizeof reason);
  CloseHiveBackup(&backup);
  if (outcome > kHiveRefusedShape) abort();
  std::string after = ReadAll(gFolderFd, "NTUSER.DAT");
  if (outcome != kHiveCleanDone || deleted == 0) {
    if (after.size() != size || (size && memcmp(after.data(), data, size) != 0)) abort();
  } else {
    // Written: a hive again, and the old one in the backup folder.
    std::string reopened = "/proc/self/fd/" + std::to_string(gFolderFd) + "/NTUSER.DAT";
    hive_h* hive = hivex_open(reopened.c_str(), 0);
    if (!hive) abort();
    hivex_close(hive);
  }
  // No temporary file is left behind.
  DIR* d = opendir(gFolder.c_str());
  while (struct dirent* e = d ? readdir(d) : nullptr)
    if (strstr(e->d_name, ".tmp")) abort();
  if (d) closedir(d);

  const char* const key[] = {"Microsoft", "Windows NT", "CurrentVersion"};
  char text[512];
  ReadHiveString(path.c_str(), key, 3, "SystemRoot", text, sizeof text);
  return 0;
}

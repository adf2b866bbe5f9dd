// Trusted folders and new files (see trusted_folder_posix.h).
#include "remedy/trusted_folder_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sys/regular_file_posix.h"

namespace {

// NTFS (ntfs-3g, ntfs3), FAT and exFAT keep no POSIX owner or mode: what a
// folder shows there is what the mount options say, so the way forward is
// in those options.
int OnWindowsFileSystem(int folderFd) {
  struct statfs fs;
  if (fstatfs(folderFd, &fs) != 0) return 0;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x65735546UL:  // FUSE (ntfs-3g)
    case 0x7366746eUL:  // ntfs3
    case 0x5346544eUL:  // ntfs
    case 0x4d44UL:      // FAT
    case 0x2011bab0UL:  // exFAT
      return 1;
  }
  return 0;
}

}  // namespace

int IsTrustedFolder(int folderFd, const char** why) {
  struct stat st;
  if (fstat(folderFd, &st) != 0) return 0;
  if (!S_ISDIR(st.st_mode)) {
    *why = "it is not a folder";
    return 0;
  }
  if (st.st_uid != geteuid()) {
    *why = OnWindowsFileSystem(folderFd) ? "it belongs to another user; this file system shows the owner and mode "
                                           "its mount options give: mount it with uid= of this user and umask=077, "
                                           "or use a folder on a Linux file system"
                                         : "it belongs to another user";
    return 0;
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    *why = OnWindowsFileSystem(folderFd) ? "others may write to it; this file system shows the owner and mode its "
                                           "mount options give: mount it with uid= of this user and umask=077, or "
                                           "use a folder on a Linux file system"
                                         : "others may write to it";
    return 0;
  }
  return 1;
}

int OpenTrustedFolder(const char* path, OwnedFd* folder, int* created, const char** why) {
  *why = nullptr;
  *created = 0;
  std::string partial = path;
  if (partial.empty()) {
    errno = ENOENT;
    return 0;
  }
  // Missing parents first, then the folder itself (which this run then made).
  for (size_t i = 1; i < partial.size(); ++i) {
    if (partial[i] != '/') continue;
    std::string parent = partial.substr(0, i);
    if (mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) return 0;
  }
  if (mkdir(path, 0700) == 0) {
    *created = 1;
  } else if (errno != EEXIST) {
    return 0;
  }
  OwnedFd fd(open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ELOOP || errno == ENOTDIR) *why = "it is a symbolic link or no folder";
    return 0;
  }
  if (!IsTrustedFolder(fd.get(), why)) {
    // A folder this call made and then refused goes again (rmdir: only while empty).
    if (*created) {
      fd.reset();
      rmdir(path);
      *created = 0;
    }
    return 0;
  }
  *folder = static_cast<OwnedFd&&>(fd);
  return 1;
}

int CreateNewFile(int folderFd, const char* name, int mode, OwnedFd* file) {
  OwnedFd fd(openat(folderFd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd.valid()) return 0;
  *file = static_cast<OwnedFd&&>(fd);
  return 1;
}

int OpenOutputStream(const char* path, OwnedStream* stream) {
  OwnedFd fd;
  if (strcmp(path, "-") == 0) {
    fd.reset(fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
    if (!fd.valid()) return 0;
  } else {
    struct stat st;
    char why[128];
    if (!OpenRegularFile(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644, &fd, &st, why, sizeof why)) return 0;
  }
  FILE* opened = fdopen(fd.get(), "w");
  if (!opened) return 0;
  fd.release();
  stream->reset(opened);
  return 1;
}

int HostStateFolder(char* out, size_t capacity) {
  const char* named = getenv("QUELLIX_SCAN_KEY");
  std::string folder;
  if (named && named[0] == '/') {
    folder = named;
    folder.resize(folder.rfind('/'));
    if (folder.empty()) folder = "/";
  } else if (geteuid() == 0) {
    folder = "/var/lib/quellix-scan";
  } else {
    const char* state = getenv("XDG_STATE_HOME");
    const char* home = getenv("HOME");
    if (state && state[0] == '/') {
      folder = std::string(state) + "/quellix-scan";
    } else if (home && home[0] == '/') {
      folder = std::string(home) + "/.local/state/quellix-scan";
    } else {
      return 0;
    }
  }
  if (folder.size() >= capacity) return 0;
  memcpy(out, folder.c_str(), folder.size() + 1);
  return 1;
}

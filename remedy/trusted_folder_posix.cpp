// Trusted folders and new files (see trusted_folder_posix.h).
#include "remedy/trusted_folder_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

int IsTrustedFolder(int folderFd, const char** why) {
  struct stat st;
  if (fstat(folderFd, &st) != 0) return 0;
  if (!S_ISDIR(st.st_mode)) {
    *why = "it is not a folder";
    return 0;
  }
  if (st.st_uid != geteuid()) {
    *why = "it belongs to another user";
    return 0;
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    *why = "others may write to it";
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
  if (!IsTrustedFolder(fd.get(), why)) return 0;
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
  } else if (!CreateNewFile(AT_FDCWD, path, 0644, &fd)) {
    return 0;
  }
  FILE* opened = fdopen(fd.get(), "w");
  if (!opened) return 0;
  fd.release();
  stream->reset(opened);
  return 1;
}

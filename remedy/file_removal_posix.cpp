// Identity-checked removal (see file_removal_posix.h).
#include "remedy/file_removal_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "sys/owned_fd_posix.h"

int IdentityAt(int directoryFd, const char* name, FileIdentity* identity) {
  // O_PATH with O_NOFOLLOW opens a link itself, whose inode is not the checked file's.
  OwnedFd fd(openat(directoryFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return 0;
  struct stat st;
  int error = fstat(fd.get(), &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : ELOOP;
  fd.reset();
  if (error) {
    errno = error;
    return 0;
  }
  *identity = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), 1};
  return 1;
}

RemovalOutcome RemoveCheckedFile(int directoryFd, const char* name, const FileIdentity& checked) {
  FileIdentity now{0, 0, 0};
  if (!IdentityAt(directoryFd, name, &now)) {
    return errno == ELOOP ? kRemovalNotSame : kRemovalFailed;
  }
  if (!SameFileIdentity(now, checked)) return kRemovalNotSame;
  return unlinkat(directoryFd, name, 0) == 0 ? kRemovalDone : kRemovalFailed;
}

RemovalOutcome RemoveCheckedStream(int directoryFd, const char* name, const char* stream, uint64_t size,
                                   const FileIdentity& checked) {
  char attribute[512];
  int n = std::snprintf(attribute, sizeof attribute, "user.%s", stream);
  if (n < 0 || static_cast<size_t>(n) >= sizeof attribute) {
    errno = ENAMETOOLONG;
    return kRemovalFailed;
  }
  OwnedFd file(openat(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) return errno == ELOOP ? kRemovalNotSame : kRemovalFailed;
  struct stat st;
  if (fstat(file.get(), &st) != 0) return kRemovalFailed;
  FileIdentity now{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), 1};
  if (!S_ISREG(st.st_mode) || !SameFileIdentity(now, checked)) return kRemovalNotSame;
  ssize_t held = fgetxattr(file.get(), attribute, nullptr, 0);
  if (held < 0) return errno == ENODATA ? kRemovalNotSame : kRemovalFailed;
  if (static_cast<uint64_t>(held) != size) return kRemovalNotSame;
  return fremovexattr(file.get(), attribute) == 0 ? kRemovalDone : kRemovalFailed;
}

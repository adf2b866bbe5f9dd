// Identity-checked removal (see file_removal_posix.h).
#include "remedy/file_removal_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

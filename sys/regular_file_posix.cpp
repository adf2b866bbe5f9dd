// Regular files opened without waiting (see regular_file_posix.h).
#include "sys/regular_file_posix.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int OpenRegularFile(const char* path, int flags, mode_t mode, OwnedFd* file, struct stat* st, char* why,
                    size_t capacity) {
  OwnedFd fd(open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode));
  if (!fd.valid()) {
    int error = errno;
    // ENXIO: a FIFO without a reader, or a device without its hardware.
    const char* reason = error == ENXIO                             ? "it is not a regular file"
                         : error == ELOOP && (flags & O_NOFOLLOW) ? "it is a symbolic link"
                                                                   : std::strerror(error);
    std::snprintf(why, capacity, "%s", reason);
    errno = error;
    return 0;
  }
  if (fstat(fd.get(), st) != 0) {
    int error = errno;
    std::snprintf(why, capacity, "%s", std::strerror(error));
    errno = error;
    return 0;
  }
  if (!S_ISREG(st->st_mode)) {
    std::snprintf(why, capacity, "%s", "it is not a regular file");
    errno = EINVAL;
    return 0;
  }
  int status = fcntl(fd.get(), F_GETFL);
  if (status < 0 || fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
    int error = errno;
    std::snprintf(why, capacity, "%s", std::strerror(error));
    errno = error;
    return 0;
  }
  *file = static_cast<OwnedFd&&>(fd);
  return 1;
}

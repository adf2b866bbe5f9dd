// Regular files opened without waiting (see regular_file_posix.h).
#include "sys/regular_file_posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

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

int WriteAllBytes(int fd, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length) {
    ssize_t put = write(fd, p, length);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = ENOSPC;
      return 0;
    }
    p += put;
    length -= static_cast<size_t>(put);
  }
  return 1;
}

int CopyFileBytes(int from, uint64_t size, int to) {
  std::vector<char> block(65536);
  for (uint64_t at = 0; at < size;) {
    size_t want = size - at < block.size() ? static_cast<size_t>(size - at) : block.size();
    ssize_t got = pread(from, block.data(), want, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;
      return 0;
    }
    if (!WriteAllBytes(to, block.data(), static_cast<size_t>(got))) return 0;
    at += static_cast<uint64_t>(got);
  }
  return 1;
}

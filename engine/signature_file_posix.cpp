// A signature list checked and read on POSIX (see signature_file_posix.h).
#include "engine/signature_file_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sys/owned_fd_posix.h"

namespace {

int ReadPiece(void* context, void* data, size_t capacity, size_t* got) {
  int fd = *static_cast<int*>(context);
  for (;;) {
    ssize_t n = read(fd, data, capacity);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return 0;
    *got = static_cast<size_t>(n);
    return 1;
  }
}

int Refuse(char* why, size_t capacity, const char* path, const char* reason) {
  std::snprintf(why, capacity, "%s: %s", path, reason);
  return 0;
}

}  // namespace

int LoadSignatureFile(SignatureLists* lists, const char* path, char* why, size_t capacity) {
  // O_NONBLOCK: a FIFO opens at once instead of waiting for a writer, and is
  // then refused as no regular file.
  OwnedFd file(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.valid()) {
    if (errno == ELOOP) return Refuse(why, capacity, path, "it is a symbolic link: name the list itself");
    return Refuse(why, capacity, path, std::strerror(errno));
  }
  struct stat st;
  if (fstat(file.get(), &st) != 0) return Refuse(why, capacity, path, std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return Refuse(why, capacity, path, "it is not a regular file");
  if (st.st_uid != geteuid() && st.st_uid != 0) {
    char reason[128];
    std::snprintf(reason, sizeof reason, "it is owned by another user (uid %lu), not by this one or root",
                  static_cast<unsigned long>(st.st_uid));
    return Refuse(why, capacity, path, reason);
  }
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    char reason[128];
    std::snprintf(reason, sizeof reason, "others may write it (mode %04o): chmod go-w it",
                  static_cast<unsigned>(st.st_mode & 07777));
    return Refuse(why, capacity, path, reason);
  }
  int fd = file.get();
  return AddSignatureList(lists, path, SignatureListSource{ReadPiece, &fd}, why, capacity);
}

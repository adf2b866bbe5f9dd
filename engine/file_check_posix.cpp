// POSIX reading for the candidate check (see file_check_posix.h).
#include "engine/file_check_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sys/owned_fd_posix.h"

namespace {

int ReadAt(void* context, uint64_t offset, unsigned char* block, uint32_t length) {
  int fd = *static_cast<int*>(context);
  uint32_t done = 0;
  while (done < length) {
    ssize_t got = pread(fd, block + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    // A file that shrank since it was listed is not the file that was listed.
    if (got <= 0) return 0;
    done += static_cast<uint32_t>(got);
  }
  return 1;
}

}  // namespace

CandidateOutcome CheckFileAt(const SignatureSet& signatures, int directoryFd, const char* name, char* nameOut,
                             FileIdentity* identity) {
  nameOut[0] = 0;
  *identity = FileIdentity{0, 0, 0};
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  OwnedFd file(openat(directoryFd, name, flags | O_NOATIME));
  // O_NOATIME is only for the file's owner (or a privileged caller).
  if (!file.valid() && errno == EPERM) file.reset(openat(directoryFd, name, flags));
  if (!file.valid()) return errno == ELOOP ? kCandidateClean : kCandidateUnreadable;
  int fd = file.get();

  CandidateOutcome outcome = kCandidateUnreadable;
  struct stat st;
  if (fstat(fd, &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      outcome = kCandidateClean;
    } else {
      *identity = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), 1};
      CandidateReader reader{ReadAt, &fd};
      const char* found = nullptr;
      outcome = CheckCandidate(signatures, static_cast<uint64_t>(st.st_size), &reader, &found);
      if (found) {
        strncpy(nameOut, found, kDetectionNameCapacity - 1);
        nameOut[kDetectionNameCapacity - 1] = 0;
      }
    }
  }
  return outcome;
}

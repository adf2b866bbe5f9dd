// Candidates read through the appliance (see guest_check_posix.h).
#include "engine/guest_check_posix.h"

#include <guestfs.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

namespace {

struct GuestRead {
  guestfs_h* guest;
  const char* path;
};

int ReadAt(void* context, uint64_t offset, unsigned char* block, uint32_t length) {
  GuestRead* r = static_cast<GuestRead*>(context);
  uint32_t done = 0;
  while (done < length) {
    size_t got = 0;
    char* bytes = guestfs_pread(r->guest, r->path, static_cast<int>(length - done),
                                static_cast<int64_t>(offset + done), &got);
    // A file that shrank since it was listed is not the file that was listed.
    if (!bytes || got == 0 || got > length - done) {
      free(bytes);
      return 0;
    }
    memcpy(block + done, bytes, got);
    free(bytes);
    done += static_cast<uint32_t>(got);
  }
  return 1;
}

}  // namespace

CandidateOutcome CheckGuestFile(const SignatureSet& signatures, guestfs_h* guest, const char* appliancePath, char* nameOut,
                                FileIdentity* identity) {
  nameOut[0] = 0;
  *identity = FileIdentity{0, 0, 0};
  struct guestfs_statns* st = guestfs_lstatns(guest, appliancePath);
  if (!st) return kCandidateUnreadable;
  CandidateOutcome outcome = kCandidateClean;
  if (S_ISREG(static_cast<mode_t>(st->st_mode))) {
    *identity = FileIdentity{static_cast<uint64_t>(st->st_dev), static_cast<uint64_t>(st->st_ino), 1};
    GuestRead read{guest, appliancePath};
    CandidateReader reader{ReadAt, &read};
    const char* found = nullptr;
    outcome = CheckCandidate(signatures, static_cast<uint64_t>(st->st_size), &reader, &found);
    if (found) {
      strncpy(nameOut, found, kDetectionNameCapacity - 1);
      nameOut[kDetectionNameCapacity - 1] = 0;
    }
  }
  guestfs_free_statns(st);
  return outcome;
}

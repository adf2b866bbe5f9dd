// Reading a candidate inside a disk image for its check: the bytes come
// through the libguestfs appliance (pread), only for a file whose size is a
// signature's. POSIX.
#pragma once
#include <cstdint>

#include "engine/candidate_check.h"
#include "engine/file_identity.h"

typedef struct guestfs_h guestfs_h;

// Checks the regular file at `appliancePath` against `signatures`. On a match
// the detection name goes to nameOut (kDetectionNameCapacity bytes).
// `identity` receives the device and inode of the file read; a file that is
// no longer a regular file is clean.
CandidateOutcome CheckGuestFile(const SignatureSet& signatures, guestfs_h* guest, const char* appliancePath, char* nameOut,
                                FileIdentity* identity);

// Reading a file for its check on POSIX: opened through its directory's
// descriptor without following a link, read with pread, access time left as
// it was where the system lets us (O_NOATIME).
#pragma once
#include "engine/candidate_check.h"
#include "engine/file_identity.h"

// Checks the regular file `name` of the directory `directoryFd` against
// `signatures`. On a match the detection name goes to nameOut
// (kDetectionNameCapacity bytes; the empty text otherwise). `identity`
// receives the device and inode of the file that was read (known 0 when it
// could not be opened). A file that is no longer a regular file is clean.
CandidateOutcome CheckFileAt(const SignatureSet& signatures, int directoryFd, const char* name, char* nameOut,
                             FileIdentity* identity);

// The quarantine's file calls on Linux: the folder through its descriptor,
// the original through the directory it was found in, the way back beneath
// a host folder, and this host's key. The quarantine itself (format, MAC,
// copy and verify, restore's rules) is remedy/quarantine.h. POSIX.
#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/file_identity.h"
#include "remedy/quarantine.h"

// A scanned root: as given (how walk paths begin) and canonical.
struct QuarantineRoot {
  char given[kQuarantineTextCapacity];
  int file;  // a single file was scanned: the root is its folder
  char canonical[kQuarantineTextCapacity];
  uint64_t device;
  uint64_t inode;
};

// The folder, open. Its port's context.
struct PosixQuarantineFolder {
  int directoryFd;
  uint64_t device, inode;  // the folder's identity: a walk leaves it out
  char reason[kQuarantineReasonCapacity];
};

// Opens the folder to quarantine into: created (mode 0700) when missing;
// one already there must be trusted (no link, this user's, nobody else may
// write). 1 with `port`; 0 with `why`.
int OpenPosixQuarantineFolder(const char* directory, PosixQuarantineFolder* folder, QuarantineFolderPort* port,
                              char* why, size_t capacity);
// Opens a folder to restore from or list: a folder, not a link; what it
// holds is proven by the key, not by its owner. 1 with `port`; 0 with `why`.
int OpenPosixQuarantineToRead(const char* directory, PosixQuarantineFolder* folder, QuarantineFolderPort* port,
                              char* why, size_t capacity);
void ClosePosixQuarantineFolder(PosixQuarantineFolder* folder);

// This host's key: the file QUELLIX_SCAN_KEY names, else
// /var/lib/quellix-scan/quarantine.key for root and
// $XDG_STATE_HOME/quellix-scan/quarantine.key (~/.local/state) for others.
// It must be this user's, readable by nobody else, in a trusted folder.
// `create`: made (32 random bytes) when missing. 1 with `key`; 0 with
// `why` (for restore, a missing key is `*missing` 1: nothing is proven).
int LoadPosixQuarantineKey(int create, unsigned char key[kQuarantineKeySize], int* missing, char* why,
                           size_t capacity);

// The scanned roots, canonical, for the records.
struct QuarantineRoots {
  QuarantineRoot* roots;  // owned (malloc)
  uint32_t count;
};
int ResolveQuarantineRoots(const char* const* paths, uint32_t count, QuarantineRoots* roots);
void FreeQuarantineRoots(QuarantineRoots* roots);

// Quarantines the file `name` of `directoryFd` when it is still `checked`.
// `walkPath` begins with one of `roots`' given spellings. `why` gets the
// reason for anything but done.
QuarantineOutcome QuarantinePosixFile(QuarantineStore* store, const QuarantineRoots& roots, int directoryFd,
                                      const char* name, const char* walkPath, const FileIdentity& checked,
                                      const char* detectionName, char* why, size_t capacity);

// The same for the named data stream `stream` (`size` bytes, read through
// `read`) of the file `name`: `walkPath` is "...FILE:STREAM", and only the
// stream goes (RemoveCheckedStream). Its manifest line names FILE:STREAM,
// which restore never writes back as a file.
struct StreamBytes {
  int64_t (*read)(void* context, uint64_t offset, void* buffer, size_t capacity);
  void* context;
};
QuarantineOutcome QuarantinePosixStream(QuarantineStore* store, const QuarantineRoots& roots, int directoryFd,
                                        const char* name, const char* stream, uint64_t size, const StreamBytes& bytes,
                                        const char* walkPath, const FileIdentity& checked,
                                        const char* detectionName, char* why, size_t capacity);

// The place files go back to beneath a host folder. Its port's context.
struct PosixRestoreTarget {
  int directoryFd;  // the destination's folder
  char name[kQuarantineTextCapacity];
  char temp[64];
  int tempFd;
  char reason[kQuarantineReasonCapacity];
};
void PosixRestoreTargetPort(PosixRestoreTarget* target, RestoreTargetPort* port);
void EndPosixRestoreTarget(PosixRestoreTarget* target);

// Tests only: stands in for renameat2(RENAME_NOREPLACE) when set, so that a
// file system without it can be played.
extern int (*gRenameNoReplaceForTests)(int fromFd, const char* from, int toFd, const char* to);
// Tests only: non-zero plays a kernel without openat2 (one folder at a time).
extern int gWithoutOpenat2ForTests;

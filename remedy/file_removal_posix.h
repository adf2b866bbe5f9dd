// Removing a checked file on POSIX: only through its directory's
// descriptor, and only while the entry still is the file that was checked.
#pragma once
#include <cstdint>

#include "engine/file_identity.h"

enum RemovalOutcome : unsigned {
  kRemovalFailed = 0,   // errno tells why
  kRemovalDone = 1,
  kRemovalNotSame = 2,  // the entry is another file now (or a link): left alone
};

// Opens `name` in `directoryFd` without following a link, compares its
// device and inode with `checked`, and unlinks the entry when they agree.
RemovalOutcome RemoveCheckedFile(int directoryFd, const char* name, const FileIdentity& checked);

// Removes the named data stream `stream` of the file `name` in
// `directoryFd` (an NTFS stream, which ntfs-3g shows as the extended
// attribute "user.STREAM"), when the file is still `checked` and the stream
// still has `size` bytes; the file and its other data stay as they are.
RemovalOutcome RemoveCheckedStream(int directoryFd, const char* name, const char* stream, uint64_t size,
                                   const FileIdentity& checked);

// The identity of the entry `name` in `directoryFd`, the entry itself (not a
// link's target). 1 on success.
int IdentityAt(int directoryFd, const char* name, FileIdentity* identity);

// The quarantine folder of the Linux scanner: each detected file copied in
// under its SHA-256, read-only, recorded in manifest.jsonl (original path,
// size, mode, times, detection name, SHA-256, when), then removed from its
// place; and the way back. POSIX.
#pragma once
#include <cstdint>
#include <cstdio>

#include "engine/file_identity.h"
#include "remedy/sha256.h"

enum : uint32_t { kQuarantinePathCapacity = 4096 };

extern const char kQuarantineManifestName[];  // "manifest.jsonl"

struct QuarantineStore {
  int directoryFd;
  FILE* manifest;
};

// Creates the folder when missing (mode 0700) and opens its manifest for
// appending. 1 on success; 0 with errno set.
int OpenQuarantine(const char* directory, QuarantineStore* store);
void CloseQuarantine(QuarantineStore* store);

enum QuarantineOutcome : uint32_t {
  kQuarantineFailed = 0,   // errno tells why; the original stays
  kQuarantineDone = 1,
  kQuarantineNotSame = 2,  // the entry is not the checked file any more: left alone
  kQuarantineKeptCopy = 3, // copied and recorded, but the original could not be removed (errno)
};

// Copies the file `name` of `directoryFd` into the store, when it is still
// `checked`, records it, and removes the original. `originalPath` is what
// the manifest records (made absolute against the current directory).
// `hexOut` receives the SHA-256.
QuarantineOutcome QuarantineFile(QuarantineStore* store, int directoryFd, const char* name,
                                 const char* originalPath, const FileIdentity& checked, const char* detectionName,
                                 char hexOut[kSha256HexSize]);

enum RestoreOutcome : uint32_t {
  kRestoreFailed = 0,     // errno, or a damaged entry
  kRestoreDone = 1,
  kRestoreExists = 2,     // something is at the path and --force was not given
  kRestoreBadCopy = 3,    // the quarantined copy's SHA-256 is not the recorded one
};

// Puts back the file one manifest line describes: content, mode and times.
// `pathOut` (kQuarantinePathCapacity bytes) receives the recorded path.
RestoreOutcome RestoreManifestLine(int quarantineFd, const char* line, int force, char* pathOut);

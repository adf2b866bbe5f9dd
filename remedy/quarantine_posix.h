// The quarantine folder of the Linux scanner: each detected file copied in
// under its SHA-256, read-only, recorded in manifest.jsonl (the scanned root
// and the path beneath it, size, mode, times, detection name, SHA-256, when)
// before it is removed from its place; and the way back, only beneath a root.
// POSIX.
#pragma once
#include <cstdint>
#include <cstdio>

#include "engine/file_identity.h"
#include "remedy/json_lines.h"
#include "remedy/sha256.h"

enum : uint32_t {
  kQuarantinePathCapacity = 4096,
  kMaxQuarantineRoots = 64,
};

extern const char kQuarantineManifestName[];  // "manifest.jsonl"
extern const char kQuarantineMarkerName[];    // marks a folder this tool made

// A scanned root: as given (how walk paths begin) and canonical.
struct QuarantineRoot {
  char given[kQuarantinePathCapacity];
  int file;  // a single file was scanned: the root is its folder
  char canonical[kQuarantinePathCapacity];
  uint64_t device;
  uint64_t inode;
};

struct QuarantineStore {
  int directoryFd;
  int manifestFd;
  QuarantineRoot* roots;  // owned (malloc)
  uint32_t rootCount;
};

// Opens the quarantine folder, creating it (mode 0700) when missing, and its
// manifest for appending. An existing folder must be trusted (owned by the
// running user, writable by nobody else, no link) and, when it holds a
// manifest, be one this tool made. `roots` are the scanned PATHs. 1 on
// success; 0 with a fixed reason in `why`, or errno.
int OpenQuarantine(const char* directory, const char* const* roots, uint32_t rootCount, QuarantineStore* store,
                   const char** why);
void CloseQuarantine(QuarantineStore* store);

enum QuarantineOutcome : uint32_t {
  kQuarantineFailed = 0,   // errno tells why; the original stays
  kQuarantineDone = 1,
  kQuarantineNotSame = 2,  // the entry is not the checked file any more: left alone
  kQuarantineKeptCopy = 3, // copied and recorded, but the original could not be removed (errno)
};

// Why a quarantine did not end in kQuarantineDone, in the scanners' words;
// `cause` is the failure's own text (the system's or the appliance's).
void QuarantineFailureText(QuarantineOutcome outcome, const char* hex, const char* cause, char* why,
                           size_t capacity);

// Copies the file `name` of `directoryFd` into the store, when it is still
// `checked`, records it (written and flushed to disk), and only then removes
// the original. `originalPath` begins with one of the store's roots as given.
// `hexOut` receives the SHA-256.
QuarantineOutcome QuarantineFile(QuarantineStore* store, int directoryFd, const char* name,
                                 const char* originalPath, const FileIdentity& checked, const char* detectionName,
                                 char hexOut[kSha256HexSize]);

// The two halves of QuarantineFile, for files that are not in a host
// folder (inside a disk image). Copies `size` bytes of `sourceFd` (from its
// current offset) into the store under their SHA-256 (hexOut); `placedNow`
// is 1 when this call made the copy (0: the same content was there). 1 on
// success; 0 with errno.
int StoreQuarantineCopy(QuarantineStore* store, int sourceFd, uint64_t size, char hexOut[kSha256HexSize],
                        int* placedNow);
// Ends `line` with the copy's format and the time, and writes it to the
// manifest, flushed to disk. On failure the manifest is as it was and a
// copy placed now is taken back. 1 on success; 0 with errno.
int AppendQuarantineRecord(QuarantineStore* store, JsonLine* line, int placedNow, const char hex[kSha256HexSize]);

enum RestoreOutcome : uint32_t {
  kRestoreFailed = 0,     // errno, or a refusal (see `why`)
  kRestoreDone = 1,
  kRestoreExists = 2,     // something is at the path and --force was not given
  kRestoreBadCopy = 3,    // the copy is no regular file, or not its recorded size and SHA-256
};

struct RestoreRequest {
  const char* toRoot;  // restore --to ROOT; null: the scanned root the manifest records
  int force;           // replace what is there (atomically)
};

// Puts back the file one manifest line describes, beneath its root: content
// and mode (never setuid, setgid or sticky) and times. `pathOut`
// (kQuarantinePathCapacity bytes) receives the path it goes to; `why` a
// fixed reason when the entry is refused.
RestoreOutcome RestoreManifestLine(int quarantineFd, const char* line, const RestoreRequest& request, char* pathOut,
                                   const char** why);

// The content of the copy a manifest line names, checked against the
// line's size and SHA-256 while it is written to `targetFd` (for an entry
// put back elsewhere than in a host folder: into a disk image).
// kRestoreBadCopy when the copy is not what the line says; the target then
// holds bytes that must not be used.
RestoreOutcome CopyOutOfQuarantine(int quarantineFd, const char* line, int targetFd);

// Tests only: stands in for renameat2(RENAME_NOREPLACE) when set, so that a
// file system without it can be played.
extern int (*gRenameNoReplaceForTests)(int fromFd, const char* from, int toFd, const char* to);
// Tests only: non-zero plays a kernel without openat2 (one folder at a time).
extern int gWithoutOpenat2ForTests;

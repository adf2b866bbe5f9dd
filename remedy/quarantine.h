// The quarantine of every scanner: each detected file copied into a folder
// under its SHA-256, behind a header (so that no copy has the size of what
// it holds and a later scan of the folder finds nothing), recorded in
// manifest.jsonl before the original goes; and the way back.
//
// A manifest line carries a MAC under this host's key (kept outside every
// quarantine folder, readable only by the administrator who made it), so
// that a line decides where restore writes only when it is provably this
// host's own. A line that cannot be proven (an earlier version's, a folder
// carried in on a volume or written by another user) goes back only beneath
// a root the person names.
//
// Platform-neutral: each platform gives the folder's file calls, the
// original file it takes away, and the place a file goes back to.
#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/sha256.h"

enum : uint32_t {
  kQuarantineTextCapacity = 4096,
  kQuarantineReasonCapacity = 512,
  kQuarantineKeySize = 32,
  kQuarantineRunCapacity = 48,
  kQuarantineIdCapacity = 64,
  kQuarantineFormat = 3,
};

extern const char kQuarantineManifestName[];   // "manifest.jsonl"
extern const char kQuarantineMarkerName[];     // ".quellix-quarantine"
extern const char kQuarantineOldMarkerName[];  // the Windows scanner's before format 3

enum QuarantineOutcome : uint32_t {
  kQuarantineFailed = 0,     // the original stays; the reason says why
  kQuarantineDone = 1,
  kQuarantineNotSame = 2,    // the place holds another file now: left alone
  kQuarantineKeptCopy = 3,   // copied and recorded; the original could not be removed
  kQuarantineAtRestart = 4,  // copied and recorded; the original goes at the next restart
};

enum RestoreOutcome : uint32_t {
  kRestoreFailed = 0,   // the reason says why (a refusal or the system's words)
  kRestoreDone = 1,
  kRestoreExists = 2,   // something is in its place and --force was not given
  kRestoreBadCopy = 3,  // the copy is no plain file of the recorded size and SHA-256
  kRestoreAlready = 4,  // a restore put it back before
};

// "restored", "exists", "damaged copy", "already restored" or "failed".
const char* RestoreOutcomeWord(RestoreOutcome outcome);

enum QuarantineOpen : uint32_t {
  kOpenRead = 0,    // a plain file of the folder, never through a link
  kOpenNew = 1,     // a new file, never through a link; fails when a name is there
  kOpenAppend = 2,  // the manifest: created when missing, a plain file of this user with one name
};

// The quarantine folder's files, as the platform reaches them. Each call is
// 1 on success, 0 on failure with the system's words ready in `reason`.
struct QuarantineFolderPort {
  void* context;
  int (*open)(void* context, const char* name, QuarantineOpen how, void** file);
  int (*read)(void* context, void* file, void* data, size_t capacity, size_t* got);  // *got 0: the end
  int (*write)(void* context, void* file, const void* data, size_t length);        // all of it
  int (*rewind)(void* context, void* file);
  int (*size)(void* context, void* file, uint64_t* size);
  int (*truncate)(void* context, void* file, uint64_t size);
  int (*flush)(void* context, void* file);  // to the disk
  // Closes in every case; `seal` makes a finished copy read-only first.
  int (*close)(void* context, void* file, int seal);
  int (*exists)(void* context, const char* name);
  int (*rename)(void* context, const char* from, const char* to);  // never replaces: 0 when taken
  int (*remove)(void* context, const char* name);
  void (*reason)(void* context, char* out, size_t capacity);
  // Made by the platform: the time as "YYYY-MM-DDTHH:MM:SSZ" and a few
  // unpredictable bytes (the run's name).
  void (*utcNow)(void* context, char out[32]);
  void (*randomBytes)(void* context, unsigned char* out, size_t count);
};

enum QuarantineMeta : uint32_t {
  kMetaMode = 1,        // POSIX permission bits ("0755" in the line)
  kMetaOwner = 2,       // uid and gid
  kMetaAttributes = 4,  // DOS attributes
  kMetaAtime = 8,
  kMetaMtime = 16,
  kMetaCtime = 32,      // Windows' creation time
};

// One manifest line, as written and as read back.
struct QuarantineRecord {
  int format;  // 3; earlier lines: 2 and 1 (the Linux scanner's), 0 (the Windows scanner's)
  char id[kQuarantineIdCapacity];    // the run's name, "/", a sequence number
  char run[kQuarantineRunCapacity];
  char path[kQuarantineTextCapacity];      // as the rows showed it
  char root[kQuarantineTextCapacity];      // the scanned root: a host folder, or a drive ("C:") in an image
  char relative[kQuarantineTextCapacity];  // beneath the root, '/' between the parts
  char image[kQuarantineTextCapacity];     // the disk image it came from, or ""
  int rootIdentified;   // rootDevice/rootInode recorded (volume serial and file index on Windows)
  uint64_t rootDevice, rootInode;
  int imageIdentified;
  uint64_t imageDevice, imageInode;
  uint64_t size;
  char sha256[kSha256HexSize];
  char detection[128];
  char when[32];
  uint32_t meta;  // which of these follow (QuarantineMeta)
  int64_t mode, uid, gid, attributes, atimeNs, mtimeNs, ctimeNs;
  int trusted;  // its MAC is this host's (on reading)
};

// Resets a record to nothing recorded.
void ClearQuarantineRecord(QuarantineRecord* record);

// The file taken away: opened and confirmed (identity, size) by the platform.
struct QuarantineOriginal {
  void* context;
  int (*read)(void* context, void* data, size_t capacity, size_t* got);
  // Called once the line is on the disk: removes the original when it is
  // still the file that was checked.
  QuarantineOutcome (*remove)(void* context, char* why, size_t capacity);
  void (*reason)(void* context, char* out, size_t capacity);
};

struct QuarantineStore {
  QuarantineFolderPort folder;
  void* manifest;  // open for appending; null when the folder is not ours to write
  unsigned char key[kQuarantineKeySize];
  int keyed;
  char run[kQuarantineRunCapacity];
  uint32_t sequence;
  uint32_t partials;
  // Reading (restore, list): the manifest whole, and where the next line is.
  char* text;
  size_t length;
  size_t next;
  char** restoredIds;  // ids that a restore put back, proven ours (sorted)
  size_t restoredCount;
};

// Opens the folder for quarantining. A new folder gets the marker; a folder
// already there must carry it and every line of its manifest must be proven
// ours, so that nothing written by someone else is ever appended to. 1 on
// success; 0 with the reason in `why`.
int OpenQuarantineStore(const QuarantineFolderPort& folder, const unsigned char key[kQuarantineKeySize],
                        QuarantineStore* store, char* why, size_t capacity);

// Opens the folder for restore or --list: the marker must be there; the
// manifest is read whole. Restores are recorded in it only when every line
// is proven ours (`key` null: none is). 1 on success; 0 with `why`.
int OpenQuarantineForRestore(const QuarantineFolderPort& folder, const unsigned char* key, QuarantineStore* store,
                             char* why, size_t capacity);

void CloseQuarantineStore(QuarantineStore* store);

// Copies `original` into the store (header, content, SHA-256), writes
// `record`'s line with its MAC to the manifest (flushed to the disk), and
// only then has the original removed. `record` holds the place and the
// file's own data; size, SHA-256, id, run and time are filled in here.
// `why` gets the system's reason for anything but done.
QuarantineOutcome QuarantineOne(QuarantineStore* store, QuarantineRecord* record, const QuarantineOriginal& original,
                                char* why, size_t capacity);

// The next manifest line (blank lines skipped). 1 with `record` (a line
// that cannot be read gives `readable` 0 and its text's first bytes in
// `record->path`); 0 at the end. `restored` says a restore put it back.
int NextQuarantineEntry(QuarantineStore* store, QuarantineRecord* record, int* readable, int* restored);

// Where one line goes back: decided here.
struct RestorePlace {
  const char* root;   // a host folder, or a drive inside `image`
  const char* image;  // null: a host folder
  int named;          // the person named it (--to, --image): the recorded identity is not checked
};

// The place a file goes back to, as the platform reaches it.
struct RestoreTargetPort {
  void* context;
  // Finds `record->relative` beneath the place without following a link
  // or leaving the root, and begins a new file beside it. `shown` gets the
  // destination as people read it (also on failure, where known).
  // kRestoreExists when a file is there and `force` is 0.
  RestoreOutcome (*begin)(void* context, const QuarantineRecord& record, const RestorePlace& place, int force,
                          char* shown, size_t shownCapacity);
  int (*write)(void* context, const void* data, size_t length);
  // Times and mode or attributes, to the disk, then into place (with
  // `force`, replacing what is there in one step).
  RestoreOutcome (*finish)(void* context, const QuarantineRecord& record, int force);
  void (*abandon)(void* context);  // the new file goes again
  void (*reason)(void* context, char* out, size_t capacity);
};

struct RestoreRequest {
  const char* toRoot;  // --to ROOT: host lines go beneath it
  const char* image;   // --image FILE: image lines go into it
  int force;
};

// Puts back what `record` describes. A line proven ours goes where it
// says; any other only where the person named. `shown` gets where it went
// (or would have gone); `why` the reason for anything but done.
RestoreOutcome RestoreQuarantined(QuarantineStore* store, const QuarantineRecord& record,
                                  const RestoreRequest& request, const RestoreTargetPort& target, char* shown,
                                  size_t shownCapacity, char* why, size_t whyCapacity);

// Reads one manifest line (any format) into `record`; `key` (may be null)
// proves it. 1 when it is a well-formed entry. Exposed for the fuzzer.
int ReadQuarantineLine(const char* line, size_t length, const unsigned char* key, QuarantineRecord* record);

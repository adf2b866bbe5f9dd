// Walk of a directory tree through directory descriptors, by several
// workers at once: a just-mounted volume is read at the speed of its disk
// only when many directory reads and stat calls are in flight. Never follows
// a symbolic link, stays on the root's file system unless asked, and enters
// each directory once (device and inode), so cycles through bind mounts end.
// Reports every regular file with its size and the descriptor of its
// directory, so that whoever acts on the file reaches the very entry that
// was listed. The visitor is called from the workers, never two calls at
// once. POSIX.
#pragma once
#include <cstddef>
#include <cstdint>

#include "walker/visited_set.h"
#include "walker/walk_visitor.h"

enum : uint32_t {
  // Longest path the walk builds; a deeper name is reported unreadable.
  kTreePathCapacity = 4096,
  // Directory levels below the root; a deeper directory is reported (ELOOP).
  kMaxTreeDepth = 400,
  // Workers when the options leave it to the walk: enough reads in flight
  // to keep a disk busy, measured on a cold tree (docs/benchmarks.md).
  kDefaultTreeWorkers = 16,
  kMaxTreeWorkers = 64,
};

// What WalkEntry::native points to for this walk (and for the MFT listing
// of an NTFS mount, which hands on the same record).
struct TreeEntry {
  // The file's directory, open for the call's duration; -1 when the MFT
  // listing gave a file whose size no signature has (nothing acts on it).
  int directoryFd;
  const char* name;    // the file's name in that directory
  const char* path;    // the full path, root included
  size_t pathLength;
  size_t directoryLength;  // path[0..directoryLength) is the directory's path
  uint64_t size;
  uint64_t device;
  uint64_t inode;
  // A named data stream of the file, listed from the MFT: `size` is the
  // stream's, its bytes come through ReadListedStream; null for the file.
  const char* stream;
  void* streamSource;
  uint16_t streamId;
};

struct TreeWalkStats {
  uint64_t directories;
  uint64_t symbolicLinks;    // skipped, never followed
  uint64_t otherFileSystems; // mount points left out
  uint64_t repeats;          // directories seen before (bind mounts)
  uint64_t special;          // devices, pipes, sockets
};


struct TreeWalkOptions {
  int crossFileSystems;
  // 0: kDefaultTreeWorkers; 1: the calling thread alone, depth first, each
  // directory's files in listing order before its subdirectories.
  uint32_t workers = 0;
};

enum TreeWalkResult : uint32_t {
  kWalkStopped = 0,   // the visitor ended it
  kWalkFinished = 1,
};

// Walks `root` (a directory, or a single regular file) and returns when
// every worker has ended. A root that is a symbolic link or cannot be
// opened is reported through `unreadable`. `visitor.file` gets a WalkEntry
// whose `native` is a TreeEntry; errors are errno values. `visited` is
// shared by the walks of one run, so that overlapping roots are walked once;
// a directory in it already (the quarantine folder) is not entered.
TreeWalkResult WalkTree(const char* root, const TreeWalkOptions& options, VisitedSet* visited,
                        const WalkVisitor& visitor, TreeWalkStats* stats);

// For tests: open every directory one name at a time from the root, as on
// a kernel without openat2 (or a sandbox that refuses it). 0 restores.
void UseComponentOpenForTesting(int on);

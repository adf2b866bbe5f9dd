// The listing of a PATH on an NTFS mount by its volume's MFT: the device
// or image file under the mount is read in record order (one sequential
// read, where a folder-by-folder walk of a just-mounted volume costs FUSE
// round trips and a seek per folder), each file's path rebuilt from its
// names' parent folders, sequence numbers checked. What the MFT lists is
// trusted only as far as the mount confirms it: every file whose size a
// signature has is looked up through the mount, and its inode number must
// be its record number and its size the MFT's, before anything is reported;
// otherwise, or where the two views could differ at all (walk_choice.h),
// nothing is reported and the folders are walked instead. Files are then
// handed on as the folder walk hands them (TreeEntry), so that checking,
// removal and quarantine go through the mount as always; a named data
// stream whose size a signature has is handed on too, as "FILE:STREAM".
// POSIX (Linux's mount table).
#pragma once
#include <cstddef>
#include <cstdint>

#include "walker/tree_walk_posix.h"
#include "walker/walk_choice.h"

struct MftWalkOptions {
  WalkMode mode;
  int crossFileSystems;
  int everyFile;
  // 1 when a file of `size` bytes is worth reading (some signature has it).
  int (*worthReading)(void* context, uint64_t size);
  // Told how `root` is listed before any of its files is handed on: `mft`
  // 1 with `said` the device or file read, else 0 with why not, and
  // whether that belongs on the console (walk_choice.h).
  void (*decided)(void* context, const char* root, int mft, const char* said, int onConsole);
  void* context;
};

enum MftWalkResult : uint32_t {
  kMftNotUsed = 0,  // nothing reported: walk the folders (`reason` says why)
  kMftStopped = 1,  // the visitor ended it
  kMftFinished = 2,
};

// Lists `root` (a folder) from its volume's MFT where WalkChoice allows.
// Folders listed go into `visited`, and a folder already there is not
// entered, as in WalkTree.
MftWalkResult WalkNtfsMount(const char* root, const MftWalkOptions& options, VisitedSet* visited,
                            const WalkVisitor& visitor, TreeWalkStats* stats);

// Bytes of the stream an entry from WalkNtfsMount names (entry.stream),
// read from the volume's device: the count read, or -1. Valid during the
// visitor's call.
int64_t ReadListedStream(const TreeEntry& entry, uint64_t offset, void* buffer, size_t capacity);

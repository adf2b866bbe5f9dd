// Depth-first walk of a directory tree through directory descriptors
// (openat, fdopendir). Never follows a symbolic link, stays on the root's
// file system unless asked, and enters each directory once (device and
// inode), so cycles through bind mounts end. Reports every regular file
// with its size and the descriptor of its directory, so that whoever acts on
// the file reaches the very entry that was listed. POSIX.
#pragma once
#include <cstddef>
#include <cstdint>

enum : uint32_t {
  // Longest path the walk builds; a deeper name is reported unreadable.
  kTreePathCapacity = 4096,
  // Directory levels below the root; each holds one descriptor open.
  kMaxTreeDepth = 400,
};

struct TreeEntry {
  int directoryFd;     // the file's directory, open for the call's duration
  const char* name;    // the file's name in that directory
  const char* path;    // the full path, root included
  size_t pathLength;
  size_t directoryLength;  // path[0..directoryLength) is the directory's path
  uint64_t size;
  uint64_t device;
  uint64_t inode;
};

struct TreeWalkVisitor {
  // A regular file. 0 ends the walk.
  int (*file)(void* context, const TreeEntry* entry);
  // A file or directory that could not be listed or opened (errno value). 0 ends the walk.
  int (*unreadable)(void* context, const char* path, int error);
  void* context;
};

struct TreeWalkStats {
  uint64_t directories;
  uint64_t symbolicLinks;    // skipped, never followed
  uint64_t otherFileSystems; // mount points left out
  uint64_t repeats;          // directories seen before (bind mounts)
  uint64_t special;          // devices, pipes, sockets
};

// Directories already walked, shared by the walks of one run so that
// overlapping roots are walked once.
struct VisitedDirectories {
  uint64_t* slots;  // pairs (device + 1, inode); an empty pair is free
  size_t capacity;  // pairs
  size_t count;
};

void InitVisitedDirectories(VisitedDirectories* visited);

// Counts a directory as walked already, so that no walk enters it (the
// quarantine folder inside a scanned tree). 1 on success.
int MarkDirectoryVisited(VisitedDirectories* visited, uint64_t device, uint64_t inode);
void FreeVisitedDirectories(VisitedDirectories* visited);

struct TreeWalkOptions {
  int crossFileSystems;
};

enum TreeWalkResult : uint32_t {
  kWalkStopped = 0,   // the visitor ended it
  kWalkFinished = 1,
};

// Walks `root` (a directory, or a single regular file). A root that is a
// symbolic link or cannot be opened is reported through `unreadable`.
TreeWalkResult WalkTree(const char* root, const TreeWalkOptions& options, VisitedDirectories* visited,
                        const TreeWalkVisitor& visitor, TreeWalkStats* stats);

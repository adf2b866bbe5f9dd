// Breadth-first walk of a directory tree (Win32). Each directory is made the
// process's current directory in turn and listed with "*"; every file goes
// to the visitor's `file`, and every directory that cannot be entered or
// listed, and every path too long to walk, to its `unreadable`.
#pragma once
#include <windows.h>

#include <cstdint>

#include "walker/find_record.h"
#include "walker/walk_visitor.h"

constexpr uint32_t kDirectoryPathCapacity = 260;
constexpr uint32_t kErrorTextCapacity = 512;
constexpr uint32_t kRootCapacity = 281;

// Error texts of the walk.
extern const char kOpenedAlreadyFormat[];   // "Opened already(%s)!"
extern const char kWalkOutOfMemory[];       // walk records not allocated (code page 936)
extern const char kFindFirstFailure[];      // search cannot start for lack of memory
extern const char kFileListNotOpen[];

// Tests only, null otherwise: asked before each directory (its path, ending
// in a backslash) is listed; a non-zero answer is the system error the
// listing then fails with.
extern uint32_t (*FileListFaultForTesting)(const char* directory);

class FileList {
 public:
  FileList();
  FileList(const FileList&) = delete;
  FileList& operator=(const FileList&) = delete;

  // Walks from root ("C:\", "C:" or a directory path). 1 when the walk
  // reached its end; 0 when already open or a callback of `visitor`
  // returned 0. `unreadable` (may be null: go on) hears of every directory
  // that cannot be entered or listed, with GetLastError()'s code (a
  // shortage of memory or handles included), of every directory the walk
  // could not keep track of for want of memory, with
  // ERROR_NOT_ENOUGH_MEMORY, and of every directory whose path is too long
  // to walk, with ERROR_FILENAME_EXCED_RANGE; the walk then goes on with
  // the rest. A directory met again through a link is passed over without a
  // word, and reparse points are not entered. During `file` the file's
  // directory is the current directory; the one current before Open is
  // current again when Open returns.
  int Open(const char* root, int recursive, const WalkVisitor& visitor);
  // Ends an open walk; 0 with "file list not open!" when none is open.
  int Close();
  const char* ErrorText() const { return errorText_; }
  int IsOpen() const { return open_; }
  const char* Root() const { return root_; }

 private:
  int Walk(const char* root, int recursive, const WalkVisitor& visitor);
  void SetError(const char* text);

  char errorText_[kErrorTextCapacity];
  char root_[kRootCapacity];
  int32_t open_;
};

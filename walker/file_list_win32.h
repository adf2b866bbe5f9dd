// Breadth-first walk of a directory tree (Win32). Each directory is made the
// process's current directory in turn and listed with "*"; every file goes
// to a callback, or without one is collected as a FileEntry of the results.
#pragma once
#include <windows.h>

#include <cstdint>

#include "walker/cursor_list.h"
#include "walker/find_record.h"

constexpr uint32_t kDirectoryPathCapacity = 260;
constexpr uint32_t kErrorTextCapacity = 512;
constexpr uint32_t kRootCapacity = 281;
// Longest file name the collecting mode keeps.
constexpr uint32_t kCollectedNameLimit = 255;

// One directory being listed, shared by the FileEntry items of its files.
struct DirectoryRecord {
  int32_t referenceCount;
  char path[kDirectoryPathCapacity];  // full path ending in a backslash
};

// One collected file.
struct FileEntry {
  DirectoryRecord* directory;
  char* name;  // heap copy
};

// The results' ReleaseItem: frees the entry, its name, and its directory
// record once the last entry pointing to it has gone.
void ReleaseFileEntry(void* entry);

// Error texts of the walk.
extern const char kOpenedAlreadyFormat[];   // "Opened already(%s)!"
extern const char kMemoryNotEnough[];       // result list not allocated
extern const char kWalkOutOfMemory[];       // walk records not allocated (code page 936)
extern const char kFindFirstFailure[];      // search cannot start for lack of memory
extern const char kFileListNotOpen[];

class FileList {
 public:
  FileList();
  ~FileList();
  FileList(const FileList&) = delete;
  FileList& operator=(const FileList&) = delete;

  // Walks from root ("C:\", "C:" or a directory path). 1 when the walk reached
  // its end (directories that cannot be entered or listed and paths too long
  // are skipped); 0 when already open, out of memory, or the callback
  // returned 0. The current directory is restored before returning.
  // `context` goes to every call of `callback`.
  int Open(const char* root, int recursive, const char* pattern, FileFoundCallback callback,
           void* context = nullptr);
  // Releases the results; 0 with "file list not open!" when no walk is open.
  int Close();
  const char* ErrorText() const { return errorText_; }
  // Results of a collecting walk (cursor on the first entry), or null when closed.
  CursorList* Results() { return results_; }
  int IsOpen() const { return open_; }
  const char* Root() const { return root_; }

 private:
  int Walk(const char* root, int recursive, const char* pattern);
  void SetError(const char* text);

  char errorText_[kErrorTextCapacity];
  char root_[kRootCapacity];
  int32_t open_;
  CursorList* results_;
  FileFoundCallback callback_;
  void* callbackContext_;
};

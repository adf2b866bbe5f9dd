// The quarantine's file calls on Windows (Win32): the folder's files, the
// detected file taken away, the place a file goes back to on the live
// system, and this host's key. What goes where is decided by the core
// (remedy/quarantine.h); here are only the system's calls.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "engine/file_identity.h"
#include "remedy/quarantine.h"
#include "sys/handle_win32.h"

enum : uint32_t {
  kQuarantineOpenFiles = 4,  // the manifest, a copy and the mark at once, with room
  kHeldFolderCapacity = 64,
};

// The folder: its full path and identity, the files the core has open, and
// the last failure (a system error, or a refusal of our own).
struct QuarantineFolderWin32 {
  char directory[MAX_PATH];  // full path, ending in a backslash
  int identified;            // volume serial number and file index known (not on 9x)
  uint64_t volume, file;
  OwnedHandle files[kQuarantineOpenFiles];
  char paths[kQuarantineOpenFiles][MAX_PATH];  // each open file's, to seal it by name
  DWORD error;
  const char* refusal;
};

// Opens the folder (`create`: made when missing) at its full path. A folder
// reached through a reparse point is refused: the copies go where it is.
// 1 on success; 0 with the reason in `why`.
int OpenQuarantineFolderWin32(const char* directory, int create, QuarantineFolderWin32* folder, char* why,
                              size_t capacity);
// Closes every file the core left open.
void CloseQuarantineFolderWin32(QuarantineFolderWin32* folder);
QuarantineFolderPort QuarantineFolderPortWin32(QuarantineFolderWin32* folder);

// A scanned root as the lines record it: the folder, ending in a backslash
// ("X:\" for a drive), and its identity.
struct QuarantineRootWin32 {
  char path[MAX_PATH];
  int identified;
  uint64_t volume, file;
};
// The root a scan names (a folder, a drive, or a file, whose folder is then
// the root). 1 when its full path fits.
int DescribeQuarantineRootWin32(const char* root, QuarantineRootWin32* out);

// The detected file, read from a handle opened by its path and confirmed to
// be the file that was checked.
struct QuarantineOriginalWin32 {
  const char* path;
  FileIdentity checked;
  OwnedHandle file;
  BY_HANDLE_FILE_INFORMATION info;
  DWORD error;
};
// kQuarantineDone when open and confirmed (an unknown identity, as on 9x,
// trusts the path); kQuarantineNotSame when the path names another file
// now; kQuarantineFailed with the system's words in `why`.
QuarantineOutcome OpenQuarantineOriginalWin32(const char* path, const FileIdentity& checked,
                                              QuarantineOriginalWin32* original, char* why, size_t capacity);
QuarantineOriginal QuarantineOriginalPortWin32(QuarantineOriginalWin32* original);

// Fills `record` for the open original beneath `root`: path, root, the rest
// with '/', size, attributes, times and detection. 0 when the path does not
// lie beneath the root or does not convert.
int DescribeQuarantinedFileWin32(const QuarantineOriginalWin32& original, const QuarantineRootWin32& root,
                                 const char* detection, QuarantineRecord* record);

// The live system as the place files go back to.
struct RestoreTargetWin32 {
  char destination[MAX_PATH];
  char temp[MAX_PATH];
  OwnedHandle file;
  OwnedHandle held[kHeldFolderCapacity];  // the folders from the root down, while writing
  uint32_t heldCount;
  DWORD error;
  const char* refusal;
};
RestoreTargetPort RestoreTargetPortWin32(RestoreTargetWin32* target);

// This host's key: the file QUELLIX_SCAN_KEY names, else
// "<Windows directory>\Quellix\quarantine.key". `create`: made on first use
// (32 random bytes, readable only by Administrators and SYSTEM on NT). 1
// with the key; 0 with the reason in `why` (for restore: no line is proven).
int LoadQuarantineKeyWin32(int create, unsigned char key[kQuarantineKeySize], char* why, size_t capacity);

// Text between the ANSI code page and UTF-8 (the JSON files); UTF-8 is
// encoded here, since Windows 95 knows no CP_UTF8. 1 when it fit.
int AnsiToUtf8(const char* ansi, char* out, size_t capacity);
int Utf8ToAnsi(const char* utf8, char* out, size_t capacity);

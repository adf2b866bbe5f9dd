// The quarantine folder of the console scanner on Windows: each detected
// file copied in under its SHA-256, read-only, recorded in manifest.jsonl
// (the Linux scanner's lines, with the file's DOS attributes and Windows
// times), then removed from its place; and the way back (Win32).
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "engine/file_identity.h"
#include "engine/sha256.h"

struct QuarantineFolder {
  char directory[MAX_PATH];  // full path, ending in a backslash
  HANDLE manifest;
};

// Creates the folder when missing and opens its manifest for appending. A
// folder already there is used only when this tool made it (its mark is
// there) or it holds no manifest; a folder reached through a junction is
// not. 1 on success; 0 with the system's last error.
int OpenQuarantineFolder(const char* directory, QuarantineFolder* folder);
void CloseQuarantineFolder(QuarantineFolder* folder);

enum QuarantineResult : uint32_t {
  kQuarantineResultFailed = 0,     // the original stays
  kQuarantineResultDone = 1,
  kQuarantineResultNotSame = 2,    // the path names another file now: left alone
  kQuarantineResultKeptCopy = 3,   // copied and recorded; the original could not be removed
  kQuarantineResultAtRestart = 4,  // copied and recorded; the original goes at the next restart
};

// Copies the file at `path` into the folder when it is still `checked`,
// records it (the line flushed to the disk), and only then removes the
// original; when the line cannot be written the original stays and the
// result is failed. `hexOut` receives the SHA-256.
QuarantineResult QuarantineWin32File(QuarantineFolder* folder, const char* path, const FileIdentity& checked,
                                     const char* detectionName, char hexOut[kSha256HexSize]);

enum RestoreResult : uint32_t {
  kRestoreResultFailed = 0,   // the system's error, or a damaged line
  kRestoreResultDone = 1,
  kRestoreResultExists = 2,   // something is at the path and `force` is 0
  kRestoreResultBadCopy = 3,  // the copy is no plain file of the recorded size and SHA-256
};

// Puts back the file one manifest line describes: content, times, attributes.
// The recorded path must be a plain "X:\..." path (no "..", "." or empty
// part); it goes beneath its drive, or beneath `toRoot` when given, and no
// folder on the way may be a reparse point. The copy is checked before the
// destination is touched; the file is written beside it and moved into place
// (`force`: replacing what is there in one step). `pathOut` (MAX_PATH bytes)
// receives the destination in the ANSI code page.
RestoreResult RestoreWin32ManifestLine(const char* quarantineDirectory, const char* line, const char* toRoot,
                                       int force, char* pathOut);

// Text between the ANSI code page and UTF-8 (the JSON files); UTF-8 is
// encoded here, since Windows 95 knows no CP_UTF8. 1 when it fit.
int AnsiToUtf8(const char* ansi, char* out, size_t capacity);
int Utf8ToAnsi(const char* utf8, char* out, size_t capacity);

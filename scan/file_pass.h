// The file pass: every file of every fixed drive checked against the
// signature table, detections removed and listed, progress moved (Win32).
#pragma once
#include "engine/file_identity.h"
#include "walker/find_record.h"

// Walks every fixed drive in the order the system lists them, with
// OnFileFound. Always 1.
int ScanFixedDrives();

// The same pass with another per-file callback (the full-check variant for
// comparisons and measurements, or a bare walk).
int ScanFixedDrivesWith(FileFoundCallback callback);

// Counts the file, moves the progress and, when the file's listed size is a
// signature's size, checks it and removes a match. 1 to go on, 0 when the
// stop flag is set.
int OnFileFound(const char* directory, const FindRecord* record);

// The same with CheckFile on every file whatever its size: the reference
// that OnFileFound's size filter must agree with.
int OnFileFoundCheckingEveryFile(const char* directory, const FindRecord* record);

// The per-file work of both callbacks with another check in place of
// CheckFile (the benchmarks' row-by-row variant). With checkEveryFile 0 only
// files of a signature's size are checked.
// The check gives the identity of the file it matched, which the removal
// requires the path still to name.
typedef int (*FileCheckFunction)(const char* path, char* nameOut, FileIdentity* identity);
int HandleFoundFile(const char* directory, const FindRecord* record, FileCheckFunction check,
                    int checkEveryFile);

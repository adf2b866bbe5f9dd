// The file pass: every file of every fixed drive checked against the
// signature table, detections removed, rows and progress reported (Win32).
#pragma once
#include "engine/file_identity.h"
#include "scan/scan_report.h"
#include "walker/find_record.h"

// The check of one path: 1 on a match, with the detection name in `nameOut`
// and the identity of the file read, which the removal requires the path
// still to name.
typedef int (*FileCheckFunction)(const char* path, char* nameOut, FileIdentity* identity);

// One file pass: where it reports and how it checks.
struct FilePass {
  const ScanReport* report;
  FileCheckFunction check;  // CheckFileIdentified in the program
  // 1: every file is checked whatever its size (the reference the size
  // filter must agree with, and the benchmarks' variants); 0: only files of
  // a signature's size.
  int checkEveryFile;
};

// The program's pass: CheckFileIdentified on files of a signature's size.
FilePass ProgramFilePass(const ScanReport* report);

// Walks every fixed drive in the order the system lists them with the
// program's pass. Always 1.
int ScanFixedDrives(const ScanReport* report);

// The same walk with another per-file callback and its context (a FilePass
// for OnFileFound; a bare walk or a part of the work for measurements).
// Resets the progress estimate first. Always 1.
int ScanFixedDrivesWith(FileFoundCallback callback, void* context);

// The per-file work of a FilePass (`pass`): counts the file, moves the
// progress and, when the pass checks it, checks it and removes a match.
// 1 to go on, 0 when the report asks the run to stop.
int OnFileFound(void* pass, const char* directory, const FindRecord* record);

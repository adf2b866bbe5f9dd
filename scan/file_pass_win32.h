// The file pass: every file of every fixed drive checked against the
// signature table, detections removed, rows and progress reported (Win32).
#pragma once
#include "engine/file_identity.h"
#include "scan/found_file.h"
#include "scan/scan_report.h"
#include "walker/walk_visitor.h"

// The check of one path: 1 on a match, with the detection name in `nameOut`
// and the identity of the file read, which the removal requires the path
// still to name.
typedef int (*FileCheckFunction)(const char* path, char* nameOut, FileIdentity* identity);

// One file pass: the portable per-file decision (found_file) fed by the
// Win32 walk, with Win32 ports: `check` reads the file, RemoveIdentifiedFile
// removes it, CleanAutorun cleans its Run values, and the cluster-rounded
// estimate over the fixed drives' used space gives the share.
struct FilePass {
  FileCheckFunction check;  // CheckFileIdentified in the program
  // The decision's state and report; run.checkEveryFile = 1 checks every
  // file whatever its size (the reference the size filter must agree with).
  FoundFileRun run;
  // The front end's own, for its ports (their context is the pass).
  void* frontEnd;
};
// The program's pass: CheckFileIdentified on files of a signature's size.
FilePass ProgramFilePass(const ScanReport* report);

// The quarantine port of a front end: `context` is the FilePass.
typedef ScanRowStatus (*QuarantineFunction)(void* context, const FoundFile* file, const FileIdentity* identity,
                                            const char* detectionName);

// The program's pass with another action (the console scanner's --remove,
// --quarantine or detection only) and the front end's quarantine port.
FilePass ActionFilePass(const ScanReport* report, FoundFileAction action, QuarantineFunction quarantine,
                        void* frontEnd);

// Walks every fixed drive in the order the system lists them with the
// program's pass. Always 1.
int ScanFixedDrives(const ScanReport* report);

// The walk's per-file function (a WalkVisitor's `file`).
typedef int (*WalkFileFunction)(void* context, const WalkEntry* entry);

// The same walk with another per-file function and its context (a FilePass
// for OnFileFound; a bare walk or a part of the work for measurements).
// Resets the progress estimate first. Always 1.
int ScanFixedDrivesWith(WalkFileFunction file, void* context);

// The per-file work of a FilePass (`pass`): DecideFoundFile on the file,
// with gScanCounters kept up to date. 1 to go on, 0 when the report asks the
// run to stop.
int OnFileFound(void* pass, const WalkEntry* entry);

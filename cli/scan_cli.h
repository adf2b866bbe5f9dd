// The console scanners' command line, words and summary: option parsing,
// the help text, the exit status. Platform-neutral, so that a Windows
// console scanner can share it with the Linux one.
#pragma once
#include <cstddef>
#include <cstdint>

#include "scan/scan_session.h"
#include "walker/walk_choice.h"

enum : uint32_t {
  kMaxScanPaths = 64,  // on the command line; --files-from adds any number
  kMaxDriveMappings = 26,
  kMaxExcludes = 64,
  kMaxSignatureFiles = 64,
  kMaxEarlierRuns = 16,
};

enum ScanCommand : uint32_t {
  kCommandScan = 0,
  kCommandRestore = 1,
  kCommandHelp = 2,
  kCommandVersion = 3,
};

struct DriveMapping {
  char letter;  // upper case
  const char* directory;
};

struct ScanOptions {
  ScanCommand command;
  FoundFileAction action;
  const char* quarantineDirectory;  // --quarantine DIR, or the restore's DIR
  const char* windowsRoot;          // --windows-root DIR
  DriveMapping drives[kMaxDriveMappings];
  uint32_t driveCount;
  const char* backupDirectory;      // --backup DIR
  const char* jsonPath;             // --json FILE ("-": standard output)
  const char* logPath;              // --log FILE, appended to
  const char* restoreRoot;          // restore --to ROOT
  const char* restoreImage;         // restore --image FILE: lines taken from an image go into FILE
  const char* restoreImageFormat;   // the --format before that --image, null when none
  const char* restoreOnly;          // restore --only PATH: only the file once at PATH
  const char* restoreRun;           // restore --run ID: only the files of that run
  int listOnly;                     // restore --list: show what the folder holds
  const char* filesFrom;            // --files-from FILE ("-": standard input)
  int nulSeparated;                 // -0: that list is NUL-separated
  const char* excludes[kMaxExcludes];  // --exclude PATTERN
  uint32_t excludeCount;
  const char* signatureFiles[kMaxSignatureFiles];  // --signatures FILE, in order
  uint32_t signatureFileCount;
  // --finish FILE: earlier runs' JSON Lines, whose taken files' Run values
  // this run cleans too.
  const char* earlierRuns[kMaxEarlierRuns];
  uint32_t earlierRunCount;
  // The rows the run checks against: the built-in ones, and the lists once
  // the driver has loaded them.
  SignatureSet signatures;
  int quiet;
  int crossFileSystems;
  WalkMode walkMode;  // --walk (the Linux scanner's PATHs)
  int walkGiven;
  int force;
  // The PATHs: those of the command line (argumentPaths) until the driver
  // adds the ones --files-from names.
  const char* const* paths;
  uint32_t pathCount;
  const char* argumentPaths[kMaxScanPaths];
  // The live system's scanner (quellix-scan.exe) only:
  int noMemory;  // --no-memory: no memory pass
  int allUsers;  // --all-users: every loaded user hive's Run key too
  // The Linux scanner only: --image FILE (repeatable), virtual machines'
  // disks scanned through libguestfs instead of PATHs.
  const char* images[kMaxScanPaths];
  // The --format before each --image (libguestfs's word), null when none:
  // its name then says its format, or it is raw.
  const char* imageFormats[kMaxScanPaths];
  uint32_t imageCount;
  const char* format;    // the last --format while the line is read
  int formatUsed;        // an --image came after it
  int allowBackingFile;  // --allow-backing-file
};

// Which scanner reads the command line: the Linux one, which scans mounted
// volumes and needs a PATH, or the one on the live Windows system, where a
// scan without PATH takes every fixed drive and --no-memory and --all-users
// apply (--windows-root, --drive, --backup and --cross-file-systems do not).
enum ScanFlavour : uint32_t {
  kFlavourMountedVolume = 0,
  kFlavourLiveSystem = 1,
};

// Reads the arguments (argv[0] is the program) by the usual rules: long
// options or any unique prefix of one, "--name=value" or "--name value",
// bundled short options ("-qj FILE", "-jFILE"), options and PATHs in any
// order, "--" before PATHs that start with "-"; "/?" is help on the live
// system. 1 on success; on bad usage 0, with a one-line reason in `reason`.
int ParseScanOptions(int argc, const char* const* argv, ScanOptions* options, char* reason, size_t capacity,
                     ScanFlavour flavour = kFlavourMountedVolume);

extern const char kScanProgramName[];
extern const char kScanVersion[];
extern const char kScanHelpText[];
extern const char kLiveScanProgramName[];  // "quellix-scan.exe"
extern const char kLiveScanHelpText[];

// The action word of a row: "removed", "quarantined", ...
const char* RowStatusWord(ScanRowStatus status);
// The same as JSON writes it: "removed", "left_in_place", ...
const char* RowStatusKey(ScanRowStatus status);

// Byte counts as people read them: "1.5 MiB", "312 bytes".
size_t FormatByteCount(char* out, size_t capacity, uint64_t bytes);

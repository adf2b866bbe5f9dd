// The Win32 ports of a scan session: the walk (every fixed drive in the
// order the system lists them, or the named roots), the check, removal by
// identity, quarantine, the current user's Run values (file by file) and,
// when asked, every loaded user hive's (after the walk), and the dialog's
// progress estimate over the fixed drives' used space (Win32).
#pragma once
#include <windows.h>

#include "engine/file_identity.h"
#include "remedy/quarantine.h"
#include "remedy/quarantine_win32.h"
#include "scan/progress.h"
#include "scan/scan_session.h"
#include "sys/system_queries_win32.h"
#include "walker/find_record.h"

// The check of one path against `signatures`: the outcome, with the
// detection name in `nameOut` and the identity of the file read on a match.
typedef CandidateOutcome (*FileCheckFunction)(const SignatureSet& signatures, const char* path, char* nameOut,
                                              FileIdentity* identity);

// What the Win32 ports work on; it is their context.
struct Win32Scan {
  FileCheckFunction check;    // CheckWithSignatureSet in the programs
  const char* const* roots;   // named roots, or null for every fixed drive
  uint32_t rootCount;
  QuarantineStore* quarantine;                // --quarantine, else null
  const QuarantineFolderWin32* skippedFolder;  // never walked (the quarantine's, by identity), or null
  QuarantineRootWin32 root;                    // the root being walked: what the quarantine records
  int allUsers;                  // other loaded hives' Run values too, after the walk
  int estimate;                  // 1: the share of the fixed drives' used space rides on every position
  ProgressEstimate progress;
};

// The check of the programs: CheckFileOutcome.
CandidateOutcome CheckWithSignatureSet(const SignatureSet& signatures, const char* path, char* nameOut,
                                       FileIdentity* identity);

// A scan of every fixed drive with the dialog's estimate.
Win32Scan FixedDrivesScan();

// The port table over `scan`.
ScanPorts Win32ScanPorts(Win32Scan* scan);

// The walk of the ports, with any visitor (measurements walk bare): the
// roots, or every fixed drive with the estimate reset over their used
// space. A root folder is walked, a root file visited alone, a root that
// cannot be read is told as unreadable. 0 when the visitor ended it.
int Win32Walk(Win32Scan* scan, const WalkVisitor* visitor);

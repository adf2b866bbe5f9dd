// The memory pass: every process id swept, the executable modules of each
// process checked, and the one memory-resident variant terminated and
// removed with its companion file and directory (Win32).
#pragma once
#include <cstdint>

#include "scan/scan_session.h"

// Ids 0 to 65534. Modules are checked against the session's signatures, so
// a list row that names the resident variant finds a running build of it
// (the dialog's session holds the built-in rows alone). Rows and counts go
// to the session, the status line ("Memory>>" and the module's path) and
// the stop question through its report. With `change` 0 (detection only)
// the resident process is reported and left running, its files untouched.
void ScanMemory(ScanSession* session, int change = 1);

// The name that makes a process count as infected.
extern const char kResidentDetectionName[];  // "Worm.Mail.Drimo.qd"

enum : uint32_t {
  kResidentExitCode = 30583,  // 0x7777
  kSweepEndId = 0xFFFF,       // first id not tried
};

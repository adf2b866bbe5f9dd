// Deleting the Run-key values that would start a removed worm file again at
// the next logon (Win32).
#pragma once
#include <windows.h>

#include <cstdint>

#include "remedy/command_line.h"
#include "remedy/run_value_events.h"

// Which Run keys a cleaning sweeps.
enum AutorunScope : uint32_t {
  // HKEY_CURRENT_USER's Run key (the dialog).
  kAutorunCurrentUser = 0,
  // Also HKEY_CURRENT_USER's RunOnce, and HKEY_LOCAL_MACHINE's Run and
  // RunOnce (with RunServices and RunServicesOnce on Windows 9x) in every
  // registry view the system has: a 32-bit process on 64-bit Windows sees
  // the 64-bit keys only through KEY_WOW64_64KEY, a 64-bit one the 32-bit
  // keys only through KEY_WOW64_32KEY (the console scanner).
  kAutorunEveryRunKey = 1,
};

// Deletes every value of the scope's keys whose command line starts the
// file at `path`. Always 1. Each value is first appended to
// QuellixRemover-restore.reg in the folder %TEMP% names (REGEDIT4, which the
// user can import to bring it back); a value that cannot be appended stays.
// Each deletion, and each value that had to stay, goes to `listener` (may be
// null); a previewing listener hears what would go and nothing changes. A
// path too long for the test is told as not cleaned.
int CleanAutorun(const char* path, const RunValueListener* listener = nullptr,
                 AutorunScope scope = kAutorunCurrentUser);

// The same in the Run and RunOnce keys of every loaded hive under
// HKEY_USERS (the classes hives aside) for each of `paths`; a hive this
// account may not change is told as refused.
void CleanAllUsersAutorun(const char* const* paths, uint32_t count, const RunValueListener* listener);

// Starts a new section of the restore file with the next value kept: one
// section, with its date, per scan run.
void BeginAutorunRestoreSection();

// The sweep over one key, in the registry view `view` (0: the process's
// own; KEY_WOW64_64KEY or KEY_WOW64_32KEY): every value, whatever its type
// or size, is read in full and examined as text. A missing key changes
// nothing; one that cannot be opened is trouble. Always 1.
int DeleteReferringValues(HKEY root, const char* subkey, const char* path,
                          const RunValueListener* listener = nullptr, REGSAM view = 0);

// Deletes one value through a handle of its own. 1 when deleted, else 0.
int DeleteRegistryValue(HKEY root, const char* subkey, const char* valueName, REGSAM view = 0);

// The process's environment (GetEnvironmentVariableA) and the ANSI code
// page's lead bytes, for CommandLineRefersTo.
CommandLineHost ProcessCommandLineHost();

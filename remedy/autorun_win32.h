// Deleting the Run-key values that would start a removed worm file again at
// the next logon (Win32).
#pragma once
#include <windows.h>

#include <cstdint>

#include "remedy/command_line.h"
#include "remedy/run_value_events.h"

// Deletes every value of HKEY_CURRENT_USER's Run key whose command line
// starts the file at `path`. Always 1. Each value is first appended to
// QuellixRemover-restore.reg in the folder %TEMP% names (REGEDIT4, which the
// user can import to bring it back); a value that cannot be appended stays.
// Each deletion, and each value that had to stay, goes to `listener` (may be null).
int CleanAutorun(const char* path, const RunValueListener* listener = nullptr);

// The same in the Run key of every loaded hive under HKEY_USERS (the
// classes hives aside) for each of `paths`; a hive this account may not
// change is told as refused.
void CleanAllUsersAutorun(const char* const* paths, uint32_t count, const RunValueListener* listener);

// Starts a new section of the restore file with the next value kept: one
// section, with its date, per scan run.
void BeginAutorunRestoreSection();

// The sweep over one key: every value, whatever its type or size, is read in
// full and examined as text. A missing key changes nothing. Always 1.
int DeleteReferringValues(HKEY root, const char* subkey, const char* path,
                          const RunValueListener* listener = nullptr);

// Deletes one value through a handle of its own. 1 when deleted, else 0.
int DeleteRegistryValue(HKEY root, const char* subkey, const char* valueName);

// The process's environment (GetEnvironmentVariableA) and the ANSI code
// page's lead bytes, for CommandLineRefersTo.
CommandLineHost ProcessCommandLineHost();

// Deleting the Run-key values that would start a removed worm file again at
// the next logon (Win32).
#pragma once
#include <windows.h>

#include "remedy/command_line.h"

// Deletes every value of HKEY_CURRENT_USER's Run key whose command line
// starts the file at `path`. Always 1. Each value is first appended to
// QuellixRemover-restore.reg in the folder %TEMP% names (REGEDIT4, which the
// user can import to bring it back); a value that cannot be appended stays.
int CleanAutorun(const char* path);

// Starts a new section of the restore file with the next value kept: one
// section, with its date, per scan run.
void BeginAutorunRestoreSection();

// The sweep over one key: every value, whatever its type or size, is read in
// full and examined as text. A missing key changes nothing. Always 1.
int DeleteReferringValues(HKEY root, const char* subkey, const char* path);

// Deletes one value through a handle of its own. 1 when deleted, else 0.
int DeleteRegistryValue(HKEY root, const char* subkey, const char* valueName);

// The process's environment (GetEnvironmentVariableA) and the ANSI code
// page's lead bytes, for CommandLineRefersTo.
CommandLineHost ProcessCommandLineHost();

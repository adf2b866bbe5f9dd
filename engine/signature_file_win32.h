// Reading a signature list on Windows. A list is an instruction to delete,
// so it is read only when no one but an administrator or the running user
// can have written it. On Windows NT and later: a file on a disk (not a
// reparse point, folder or device) whose owner is the running user,
// Administrators or SYSTEM, and whose access list grants writing to no one
// else. Windows 95, 98 and Me keep no owners or permissions: there only the
// kind of file is checked (Win32).
#pragma once
#include <cstddef>

#include "engine/signature_set.h"

// Checks and reads the list at the ANSI `path` into `lists`. 1 on success;
// 0 with the reason in `why`, "PATH: ..." or "PATH:LINE: ...".
int LoadSignatureFile(SignatureLists* lists, const char* path, char* why, size_t capacity);

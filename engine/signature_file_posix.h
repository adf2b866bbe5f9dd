// Reading a signature list on POSIX. A list is an instruction to delete, so
// it is read only when no one but the running user (or root) can have
// written it: a regular file, reached without following a link, owned by
// the running user or root, writable by neither its group nor others.
#pragma once
#include <cstddef>

#include "engine/signature_set.h"

// Checks and reads the list at `path` into `lists` (AddSignatureList). 1 on
// success; 0 with the reason in `why`, "PATH: ..." or "PATH:LINE: ...".
int LoadSignatureFile(SignatureLists* lists, const char* path, char* why, size_t capacity);

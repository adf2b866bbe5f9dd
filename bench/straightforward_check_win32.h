// The check as it would be without the size filter and the single read:
// every file is opened for its size, and a file of a signature's size is
// read afresh once per row of that size. Only the benchmarks use it, as the
// cost the file pass is compared with (Win32).
#pragma once
#include "engine/file_identity.h"

// Same answer as CheckFile; the content is read once per row of the file's size.
int CheckFileRowByRow(const char* path, char* nameOut);

// CheckFileRowByRow as the file pass's check: no identity, so the removal of
// a match goes by its path alone.
int CheckFileRowByRowUnidentified(const char* path, char* nameOut, FileIdentity* identity);

// The check as it would be without the size filter and the single read:
// every file is opened for its size, and a file of a signature's size is
// read afresh once per row of that size. Only the benchmarks use it, as the
// cost the file pass is compared with (Win32).
#pragma once
#include "walker/find_record.h"

// Same answer as CheckFile; the content is read once per row of the file's size.
int CheckFileRowByRow(const char* path, char* nameOut);

// The file pass's per-file work (progress, status line, removal, row) with
// CheckFileRowByRow on every file.
int OnFileFoundStraightforward(const char* directory, const FindRecord* record);

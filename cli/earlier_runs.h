// --finish: what an earlier run of either console scanner took away, read
// back from the JSON Lines it wrote, so that a later run can clean the Run
// values that start those files (the earlier run may have been refused the
// hives, or killed before it got to them). Platform-neutral.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

struct EarlierRun {
  char started[32];  // as its run record gives it
  char host[256];
  char** paths;  // UTF-8, as the records keep them; each once
  uint32_t count;
};

// Reads the records of one run: the first must be the run record of a scan
// that removed or quarantined; its removed, quarantined and scheduled rows
// count, and so do its intent records (a killed run's last file). 1 with
// `run` filled; 0 with the reason. FreeEarlierRun either way.
int ReadEarlierRun(FILE* in, EarlierRun* run, char* why, size_t capacity);
void FreeEarlierRun(EarlierRun* run);

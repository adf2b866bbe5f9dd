// --files-from: the PATHs a file (or standard input) lists, after those of
// the command line. One a line (a '\r' before the '\n' dropped), or
// NUL-separated with -0; empty entries skipped. Platform-neutral.
#pragma once
#include <cstdint>
#include <cstdio>

struct PathList {
  char* text;          // the list's bytes, which the paths point into
  const char** paths;  // the command line's PATHs, then the list's
  uint32_t count;
};

// Reads all of `in` and appends its entries to `first`. 1 on success; 0
// with the reason in `why`. FreePathList frees what it made either way.
int ReadPathList(FILE* in, int nulSeparated, const char* const* first, uint32_t firstCount, PathList* list,
                 const char** why);
void FreePathList(PathList* list);

// The rows of a console run kept until the walk ends, when people get them
// in path order: the walk's order depends on the file system (and on
// scheduling), and runs must compare. Platform-neutral.
#pragma once
#include <cstddef>

#include "scan/scan_report.h"

struct HeldRow {
  char* path;
  char* detectionName;
  char* reason;
  ScanRowStatus status;
  ScanPass pass;
  size_t order;  // as it came
};

struct HeldRows {
  HeldRow* rows;
  size_t count;
  size_t capacity;
};

// Keeps a copy of `row`. 0 when there was no memory for it (nothing kept).
int HoldRow(HeldRows* held, const ScanRow& row);
// The memory pass's rows first, as they came; then the files by path (ties
// in the order they came).
void SortHeldRows(HeldRows* held);
void FreeHeldRows(HeldRows* held);

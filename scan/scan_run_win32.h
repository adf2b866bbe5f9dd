// One complete scan run (Win32): counters reset, memory pass at raised
// priority, file pass, and the end of the run with its totals, all told to
// the front end through its report.
#pragma once
#include "scan/scan_counters.h"
#include "scan/scan_report.h"

// Runs on the caller's thread. The report hears the position 0 first, 100
// after a file pass that was not stopped, and runEnded last. The counters
// stay readable afterwards (gScanCounters / CurrentScanCounters()).
void RunScan(const ScanReport* report);

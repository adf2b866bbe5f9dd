// One complete scan run, the body of the scan thread (Win32): counters reset,
// memory pass at raised priority, file pass, the window handed back to its
// idle state, and the localized summary boxes.
#pragma once
#include "scan/scan_counters.h"
#include "ui/scan_context.h"

// Runs on the scan thread; the summary boxes are shown from it, owned by the
// context's main dialog. The counters stay readable afterwards
// (gScanCounters / CurrentScanCounters()).
void RunScan(ScanContext* context);

// One complete scan run of the dialog (Win32): a session over every fixed
// drive with the action "remove", the memory pass at raised priority, the
// file pass, and the end of the run with its ledger, all told to the front
// end through its report.
#pragma once
#include "scan/scan_report.h"

// Runs on the caller's thread. The report hears the position 0 first, 100
// after a file pass that was not stopped, and runEnded last, once WOW64
// file-system redirection is back as the thread had it.
void RunScan(const ScanReport* report);

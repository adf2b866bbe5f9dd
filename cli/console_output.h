// What the console driver writes for people: the progress line, rows, the
// summary and complaints, on the human output and in the log. Names from
// the scanned system are escaped before they are written. Platform-neutral.
#pragma once
#include <cstdio>

#include "cli/console_state.h"

// Wipes the progress line from standard error, when one is shown.
void ClearProgressLine(ConsoleDriver* driver);
// Draws the progress line (at most five times a second).
void DrawProgressLine(ConsoleDriver* driver, const ScanPosition* position);
// Text from the scanned system, escaped, in the console's encoding (UTF-8
// in the log).
void WriteSystemText(ConsoleDriver* driver, FILE* out, const char* text);
// Our own text (ASCII) to the human output and to the log.
void SayToBoth(ConsoleDriver* driver, const char* text);
// "path: name (removed)", "path: not examined (why)" to `out`.
void WriteRowLine(ConsoleDriver* driver, FILE* out, const char* path, const char* name, ScanRowStatus status,
                  const char* reason);
// "HIVE: Run value "NAME" deleted (DATA)" ("would be deleted" in a preview) to `out`.
void WriteRunValueLine(ConsoleDriver* driver, FILE* out, const RunValueDeletion* deletion);
// The summary to the human output and the log, and its JSON record.
void PrintSummary(ConsoleDriver* driver, const ScanTotals& totals, int withMemory, double seconds, int status);
// "program: what: why" on standard error. Returns kExitTrouble.
int Complain(const ConsolePlatform& platform, const char* what, const char* why);

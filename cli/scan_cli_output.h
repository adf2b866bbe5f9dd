// The console scanners' text lines of a summary and of a restore, and the
// restore's JSON summary. Each formats into the caller's buffer: 1 when the
// whole text fit, else 0 (and the text must not be used). Platform-neutral.
#pragma once
#include <cstddef>
#include <cstdint>

#include "remedy/json_lines.h"
#include "remedy/quarantine.h"
#include "scan/scan_report.h"

extern const char kSummaryHeading[];  // "\n----------- SCAN SUMMARY -----------\n"

// "Files examined" through "Not examined", one line each.
int FormatSummaryTotals(char* out, size_t capacity, const ScanTotals& totals);

// The console line of one restore; `why` (may be null) follows a failure.
int FormatRestoreRowText(char* out, size_t capacity, const char* path, RestoreOutcome outcome, const char* why);
int FormatRestoreTotals(char* out, size_t capacity, uint32_t restored, uint32_t already, uint32_t left);
int FormatRestoreSummaryJson(char* out, size_t capacity, uint32_t restored, uint32_t already, uint32_t left,
                             int status);

// Escapes what a terminal would take as markup (control bytes, ESC, DEL)
// as \xNN, so that a crafted name cannot forge lines or move the cursor.
// Always terminated; the text is cut when it does not fit.
void EscapeForConsole(const char* text, char* out, size_t capacity);

// The progress line of `columns` columns (never wider than columns - 1, so
// the terminal does not wrap): counts, rate, detections, elapsed time, the
// share done and the time left when `percent` is known (not kUnknownShare),
// and the end of the current path, which must be shown as it is (escaped
// already). Exposed for its tests.
void FormatProgressLine(char* out, size_t capacity, uint32_t columns, uint64_t files, uint64_t bytes,
                        double seconds, uint32_t detections, uint32_t percent, const char* path);

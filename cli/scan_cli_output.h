// What both console scanners print and write to --json the same way: the
// JSON Lines objects of rows, restores and summaries, and the summary's and
// restore's text lines. Each formats into the caller's buffer: 1 when the
// whole text fit, else 0 (and the text must not be used). Platform-neutral.
#pragma once
#include <cstddef>
#include <cstdint>

#include "remedy/json_lines.h"
#include "scan/scan_report.h"

extern const char kSummaryHeading[];  // "\n----------- SCAN SUMMARY -----------\n"

// One row's object: "detection" (with the name and the action word, and
// `pass` when not null) or "not_examined".
int FormatRowJson(char* out, size_t capacity, const char* path, const char* name, ScanRowStatus status,
                  const char* pass);

// A registry event's object: {"type", "hive", "reason"}.
int FormatHiveEventJson(char* out, size_t capacity, const char* type, const char* hive, const char* reason);

// Starts the scan summary's object: its type, the memory modules when
// `withMemory`, then the file pass's totals. The caller adds its own fields
// and ends the line. 1 while everything fit.
int BeginSummaryJson(JsonLine* line, char* buffer, size_t capacity, const ScanTotals& totals, int withMemory);

// "Files examined" through "Not examined", one line each.
int FormatSummaryTotals(char* out, size_t capacity, const ScanTotals& totals);

// What became of one manifest line (the values of both systems' restore
// results).
enum RestoreRowKind : uint32_t {
  kRestoreRowFailed = 0,
  kRestoreRowDone = 1,
  kRestoreRowExists = 2,
  kRestoreRowBadCopy = 3,
};

// "restored", "exists", "damaged copy" or "failed".
const char* RestoreRowWord(RestoreRowKind kind);
// The console line of one restore; `why` (may be null) follows a failure.
int FormatRestoreRowText(char* out, size_t capacity, const char* path, RestoreRowKind kind, const char* why);
int FormatRestoreRowJson(char* out, size_t capacity, const char* path, RestoreRowKind kind);
int FormatRestoreTotals(char* out, size_t capacity, uint32_t restored, uint32_t left);
int FormatRestoreSummaryJson(char* out, size_t capacity, uint32_t restored, uint32_t left, int status);

// The record a console run keeps as it goes: the JSON Lines file (--json)
// and the log (--log). Each row, Run value and trouble is appended to both
// the moment it happens; in a run that changes anything, both are flushed
// after every such record, so a run that is killed leaves a record of every
// change made before the kill (its JSON lacks only the summary).
// Platform-neutral.
#pragma once
#include "cli/console_state.h"

// Opens --log to append to, then --json (or standard output for "-").
// 0 after saying why; nothing is left open then.
int OpenRunRecords(ConsoleDriver* driver);
// 1 when both reached their files whole (said otherwise).
int CloseRunRecords(ConsoleDriver* driver);

// The run record (and the log's heading: when, where, which program, what
// was asked; for a scan, what it checks against).
void JournalRunStart(ConsoleDriver* driver, int argc, const char* const* argv, const char* command);
// A detection about to be removed or quarantined (kActionRemove...), so
// that a run that dies before its row still names the file.
void JournalChangeAhead(ConsoleDriver* driver, const char* path, const char* detectionName, uint32_t action);
// A row, as it happens.
void JournalRow(ConsoleDriver* driver, const ScanRow& row);
// A Run value deleted, as it happens.
void JournalRunValue(ConsoleDriver* driver, const RunValueDeletion* deletion);
// A hive or key that was not cleaned (standard error too).
void JournalTrouble(ConsoleDriver* driver, RunValueTrouble kind, const char* where, const char* reason);
// Pushes what was written so far out to the files.
void FlushRunRecords(ConsoleDriver* driver);
